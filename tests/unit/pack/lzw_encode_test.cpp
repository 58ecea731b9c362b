#include "pack/lzw_encode.h"

#include <gtest/gtest.h>

#include <map>
#include <utility>

#include "test_bytes.h"
#include "tools/pakread/pakread.h"

namespace {

// A plain map-based LZW with the same rules, to check the hashed table against.
std::vector<uint16_t> ReferenceCodes(const Bytes& input, int* codesGiven = nullptr) {
  std::map<std::pair<int, int>, int> table;
  std::vector<uint16_t> codes;
  int nextCode = 257;
  int pending = input[0];
  for (size_t i = 1; i < input.size(); ++i) {
    const auto found = table.find({pending, input[i]});
    if (found != table.end()) {
      pending = found->second;
      continue;
    }
    if (nextCode <= 65535) table[{pending, input[i]}] = nextCode++;
    codes.push_back(static_cast<uint16_t>(pending));
    pending = input[i];
  }
  codes.push_back(static_cast<uint16_t>(pending));
  codes.push_back(256);
  if (codesGiven != nullptr) *codesGiven = nextCode - 257;
  return codes;
}

std::vector<uint16_t> EncodedCodes(const Bytes& input) {
  unsigned char* stream = nullptr;
  const int64_t size = LzwEncode(input.data(), static_cast<int64_t>(input.size()), stream);
  EXPECT_EQ(size % 2, 0);
  std::vector<uint16_t> codes(static_cast<size_t>(size / 2));
  for (size_t i = 0; i < codes.size(); ++i) {
    codes[i] = static_cast<uint16_t>(stream[2 * i] | (stream[2 * i + 1] << 8));
  }
  delete[] stream;
  return codes;
}

Bytes DecodeCodes(const std::vector<uint16_t>& codes, size_t rawSize) {
  Bytes block = {'N', 'Z', 10, 0};
  for (uint32_t value : {static_cast<uint32_t>(rawSize), static_cast<uint32_t>(codes.size() * 2)}) {
    for (int i = 0; i < 4; ++i) block.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
  for (uint16_t code : codes) {
    block.push_back(static_cast<uint8_t>(code));
    block.push_back(static_cast<uint8_t>(code >> 8));
  }
  Bytes out;
  const std::string reason = pakread::DecodeBlock(block.data(), block.size(), out);
  EXPECT_EQ(reason, "");
  return out;
}

}  // namespace

TEST(LzwEncode, MatchesReferenceCoder) {
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    std::mt19937 random(seed);
    const unsigned alphabet = 1 + seed * 13 % 256;
    Bytes input(1 + random() % 3000);
    for (uint8_t& byte : input) byte = static_cast<uint8_t>(random() % alphabet);
    EXPECT_EQ(EncodedCodes(input), ReferenceCodes(input)) << "seed " << seed;
  }
}

TEST(LzwEncode, ExhaustsCodeSpaceAndKeepsUsingTheTable) {
  // Random bytes give out a new code for almost every byte: 300 KB use up all 65,279 of them,
  // and the rest of the input is coded with the frozen table (the reference and the round trip
  // check that part).
  Bytes input = RandomBytes(300000, 11);
  const Bytes tail = LogText(200000, 5);
  input.insert(input.end(), tail.begin(), tail.end());
  const std::vector<uint16_t> codes = EncodedCodes(input);
  int codesGiven = 0;
  EXPECT_EQ(codes, ReferenceCodes(input, &codesGiven));
  EXPECT_EQ(codesGiven, 65535 - 256);  // every code up to 65,535 was given out
  uint16_t highest = 0;
  for (uint16_t code : codes) highest = code > highest ? code : highest;
  EXPECT_GT(highest, 65500);
  EXPECT_EQ(codes.back(), 256);
  EXPECT_EQ(DecodeCodes(codes, input.size()), input);
}

TEST(LzwEncode, LongRunOfOneByte) {
  // One byte repeated: each code's string is one byte longer than the last (about 2,000 codes).
  const Bytes input(2000000, 'z');
  const std::vector<uint16_t> codes = EncodedCodes(input);
  EXPECT_EQ(codes, ReferenceCodes(input));
  EXPECT_EQ(DecodeCodes(codes, input.size()), input);
}

TEST(LzwEncode, KwKwKCaseDecodes) {
  // "aaa": codes 97, 257 where 257 is used in the step that defines it.
  const Bytes input = ToBytes("aaa");
  const std::vector<uint16_t> codes = EncodedCodes(input);
  EXPECT_EQ(codes, (std::vector<uint16_t>{97, 257, 256}));
  EXPECT_EQ(DecodeCodes(codes, 3), input);
}
