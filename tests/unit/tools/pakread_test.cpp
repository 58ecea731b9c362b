#include "tools/pakread/pakread.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "pack/compress.h"
#include "pack/pak_archive.h"

namespace {

using Bytes = std::vector<uint8_t>;

void PutLe32(Bytes& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

Bytes Block(int packType, uint32_t rawSize, const Bytes& data) {
  Bytes block(12 + data.size(), 0);
  block[0] = 'N';
  block[1] = 'Z';
  block[2] = static_cast<uint8_t>(packType);
  block[3] = static_cast<uint8_t>(packType >> 8);
  PutLe32(block, 4, rawSize);
  PutLe32(block, 8, static_cast<uint32_t>(data.size()));
  for (size_t i = 0; i < data.size(); ++i) block[12 + i] = data[i];
  return block;
}

Bytes Codes(std::initializer_list<uint16_t> codes) {
  Bytes stream;
  for (uint16_t code : codes) {
    stream.push_back(static_cast<uint8_t>(code));
    stream.push_back(static_cast<uint8_t>(code >> 8));
  }
  return stream;
}

std::string Decode(const Bytes& block, Bytes* out = nullptr) {
  Bytes decoded;
  const std::string reason = pakread::DecodeBlock(block.data(), block.size(), decoded);
  if (out != nullptr) *out = decoded;
  if (!reason.empty()) {
    EXPECT_TRUE(decoded.empty());
  }
  EXPECT_EQ(reason.find('\n'), std::string::npos);
  return reason;
}

Bytes LzoBlock(const std::string& text) {
  unsigned char* buffer = reinterpret_cast<unsigned char*>(const_cast<char*>(text.data()));
  int length = static_cast<int>(text.size());
  EXPECT_EQ(Compress(buffer, length, kPackLzo, 0, 0), kCompressOk);
  Bytes block(buffer, buffer + length);
  delete[] buffer;
  return block;
}

Bytes Image(std::initializer_list<std::pair<const char*, std::string>> entries) {
  PakArchive archive;
  for (const auto& entry : entries) {
    archive.AddEntry(entry.first, reinterpret_cast<const unsigned char*>(entry.second.data()),
                     static_cast<uint32_t>(entry.second.size()));
  }
  uint32_t size = 0;
  const unsigned char* image = archive.Build(&size);
  return Bytes(image, image + size);
}

std::string Parse(const Bytes& image) {
  std::vector<pakread::EntryInfo> entries;
  const std::string reason = pakread::ParseArchive(image.data(), image.size(), entries);
  if (!reason.empty()) {
    EXPECT_TRUE(entries.empty());
  }
  EXPECT_EQ(reason.find('\n'), std::string::npos);
  return reason;
}

const std::string kLongText(3000, 'q');

}  // namespace

TEST(DecodeBlock, DecodesTheThreePackTypes) {
  Bytes out;
  pakread::BlockInfo info;
  const Bytes stored = Block(0, 3, {'a', 'b', 'c'});
  ASSERT_EQ(pakread::DecodeBlock(stored.data(), stored.size(), out, &info), "");
  EXPECT_EQ(out, (Bytes{'a', 'b', 'c'}));
  EXPECT_EQ(info.packType, 0);
  EXPECT_EQ(info.storedSize, 3u);

  EXPECT_EQ(Decode(Block(10, 6, Codes({97, 98, 257, 257, 256})), &out), "");
  EXPECT_EQ(std::string(out.begin(), out.end()), "ababab");

  EXPECT_EQ(Decode(Block(11, 3, {0x14, 0x61, 0x62, 0x63, 0x11, 0x00, 0x00}), &out), "");
  EXPECT_EQ(std::string(out.begin(), out.end()), "abc");
}

TEST(DecodeBlock, RejectsBadHeaders) {
  EXPECT_NE(Decode(Bytes{'N', 'Z', 0, 0, 0}), "");
  EXPECT_NE(Decode(Bytes()), "");
  Bytes badMagic = Block(0, 1, {'x'});
  badMagic[0] = 'X';
  EXPECT_NE(Decode(badMagic), "");
  EXPECT_NE(Decode(Block(5, 1, {'x'})), "");
  EXPECT_NE(Decode(Block(0x10B, 1, {'x'})), "");
  Bytes longer = Block(0, 4, {'a', 'b', 'c', 'd'});
  PutLe32(longer, 8, 5);  // stored size past the end
  EXPECT_NE(Decode(longer), "");
  PutLe32(longer, 8, 0xFFFFFFFF);
  EXPECT_NE(Decode(longer), "");
  PutLe32(longer, 8, 3);  // a byte left over after the data
  EXPECT_NE(Decode(longer), "");
  EXPECT_NE(Decode(Block(0, 2, {'a', 'b', 'c'})), "");  // stored but sizes differ
}

TEST(DecodeBlock, RejectsMalformedLzwStreams) {
  EXPECT_NE(Decode(Block(10, 1, {0x61})), "");                          // odd length
  EXPECT_NE(Decode(Block(10, 0, {})), "");                              // no end code
  EXPECT_NE(Decode(Block(10, 1, Codes({97}))), "");                     // no end code
  EXPECT_NE(Decode(Block(10, 2, Codes({97, 256, 98, 256}))), "");       // end code inside
  EXPECT_NE(Decode(Block(10, 2, Codes({257, 256}))), "");               // first code a string
  EXPECT_NE(Decode(Block(10, 4, Codes({97, 258, 256}))), "");           // not defined yet
  EXPECT_NE(Decode(Block(10, 99, Codes({97, 65535, 256}))), "");        // far past the table
  EXPECT_NE(Decode(Block(10, 5, Codes({97, 98, 257, 257, 256}))), "");  // more than rawSize
  EXPECT_NE(Decode(Block(10, 7, Codes({97, 98, 257, 257, 256}))), "");  // less than rawSize
  EXPECT_NE(Decode(Block(10, 0xFFFFFFFF, Codes({97, 256}))), "");
  Bytes out;
  EXPECT_EQ(Decode(Block(10, 3, Codes({97, 257, 256})), &out), "");  // defined as it is used
  EXPECT_EQ(std::string(out.begin(), out.end()), "aaa");
}

TEST(DecodeBlock, RejectsMalformedLzoStreams) {
  const Bytes good = LzoBlock(kLongText);
  ASSERT_EQ(good[2], 11);
  Bytes out;
  ASSERT_EQ(Decode(good, &out), "");
  EXPECT_EQ(std::string(out.begin(), out.end()), kLongText);

  Bytes wrongRaw = good;
  PutLe32(wrongRaw, 4, 2999);  // output would overrun the declared size
  EXPECT_NE(Decode(wrongRaw), "");
  PutLe32(wrongRaw, 4, 3001);  // stream ends short of it
  EXPECT_NE(Decode(wrongRaw), "");
  PutLe32(wrongRaw, 4, 0xFFFFFFFF);  // absurd, must not be allocated
  EXPECT_NE(Decode(wrongRaw), "");

  Bytes cut(good.begin(), good.end() - 3);  // end-of-stream marker missing
  PutLe32(cut, 8, static_cast<uint32_t>(cut.size() - 12));
  EXPECT_NE(Decode(cut), "");

  const Bytes farBack =
      Block(11, 8, {0x12, 'a', 0x2F, 0xFC, 0xFF, 0x11, 0x00, 0x00});  // match before start
  EXPECT_NE(Decode(farBack), "");
}

TEST(LooksLikeBlock, NeedsMagicKnownTypeAndExactSize) {
  const Bytes block = Block(10, 1, Codes({97, 256}));
  EXPECT_TRUE(pakread::LooksLikeBlock(block.data(), block.size()));
  EXPECT_FALSE(pakread::LooksLikeBlock(block.data(), block.size() - 1));
  Bytes longer = block;
  longer.push_back(0);
  EXPECT_FALSE(pakread::LooksLikeBlock(longer.data(), longer.size()));
  EXPECT_FALSE(pakread::LooksLikeBlock(Block(12, 1, {'x'}).data(), 13));
  EXPECT_FALSE(pakread::LooksLikeBlock(block.data(), 11));
  EXPECT_FALSE(pakread::LooksLikeBlock(nullptr, 0));
  const std::string text = "NZ but only text";
  EXPECT_FALSE(pakread::LooksLikeBlock(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

TEST(ParseArchive, ListsEntriesAndTellsBlocksFromRawData) {
  const Bytes image = Image({{"log.txt", kLongText}, {"short", "hello"}, {"none", ""}});
  std::vector<pakread::EntryInfo> entries;
  ASSERT_EQ(pakread::ParseArchive(image.data(), image.size(), entries), "");
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, "log.txt");
  EXPECT_EQ(entries[0].offset, 16u + 3 * 48);
  EXPECT_TRUE(entries[0].isBlock);
  EXPECT_EQ(entries[0].block.packType, 11);
  EXPECT_EQ(entries[0].block.rawSize, 3000u);
  EXPECT_EQ(entries[1].name, "short");
  EXPECT_FALSE(entries[1].isBlock);
  EXPECT_EQ(entries[1].size, 5u);
  EXPECT_EQ(entries[2].size, 0u);
  EXPECT_EQ(entries[2].offset, image.size());

  Bytes out;
  EXPECT_EQ(pakread::ExtractByName(image.data(), image.size(), "log.txt", out), "");
  EXPECT_EQ(std::string(out.begin(), out.end()), kLongText);
  EXPECT_EQ(pakread::ExtractByName(image.data(), image.size(), "short", out), "");
  EXPECT_EQ(std::string(out.begin(), out.end()), "hello");
  EXPECT_NE(pakread::ExtractByName(image.data(), image.size(), "missing", out), "");
}

TEST(ParseArchive, RejectsBadHeaders) {
  const Bytes image = Image({{"a", "12345"}, {"b", "1234567"}});
  EXPECT_NE(Parse(Bytes(image.begin(), image.begin() + 15)), "");
  EXPECT_NE(Parse(Bytes()), "");
  Bytes bad = image;
  bad[0] = 'X';
  EXPECT_NE(Parse(bad), "");
  bad = image;
  bad[7] = '2';
  EXPECT_NE(Parse(bad), "");
  EXPECT_NE(Parse(Bytes(image.begin(), image.end() - 1)), "");  // truncated data
  bad = image;
  bad.push_back(0);
  EXPECT_NE(Parse(bad), "");  // totalSize no longer matches
  bad = image;
  PutLe32(bad, 12, 0x80000000);
  EXPECT_NE(Parse(bad), "");  // negative count
  bad = image;
  PutLe32(bad, 12, 3);
  EXPECT_NE(Parse(bad), "");  // table past the end
}

TEST(ParseArchive, RejectsEntriesOutsideTheImage) {
  const Bytes image = Image({{"a", "12345"}, {"b", "1234567"}});
  ASSERT_EQ(Parse(image), "");
  Bytes bad = image;
  PutLe32(bad, 16 + 48 + 32, 120);  // 120 + 7 > 124
  EXPECT_NE(Parse(bad), "");
  bad = image;
  PutLe32(bad, 16 + 48 + 36, 0xFFFFFFFF);  // offset + size wraps in 32 bits
  EXPECT_NE(Parse(bad), "");
  bad = image;
  PutLe32(bad, 16 + 32, 20);  // data inside the entry table
  EXPECT_NE(Parse(bad), "");
  bad = image;
  std::memset(bad.data() + 16, 'n', 32);  // name without its zero
  EXPECT_NE(Parse(bad), "");

  // A name with control bytes still gives a one-line message (Parse checks for the newline).
  Bytes named = Image({{"evil\nname\r", "12345"}});
  PutLe32(named, 16 + 32, 1000);
  const std::string reason = Parse(named);
  EXPECT_NE(reason.find("evil?name?"), std::string::npos) << reason;
}

TEST(ExtractEntry, ReportsCorruptBlocksAndStaysInBounds) {
  Bytes image = Image({{"log.txt", kLongText}});
  std::vector<pakread::EntryInfo> entries;
  ASSERT_EQ(pakread::ParseArchive(image.data(), image.size(), entries), "");
  ASSERT_TRUE(entries[0].isBlock);
  image[64 + 12] ^= 0xFF;  // first byte of the LZO stream
  image[64 + 13] ^= 0xFF;
  Bytes out;
  EXPECT_NE(pakread::ExtractEntry(image.data(), image.size(), entries[0], out), "");

  pakread::EntryInfo outside = entries[0];
  outside.offset = static_cast<uint32_t>(image.size());
  outside.size = 1;
  EXPECT_NE(pakread::ExtractEntry(image.data(), image.size(), outside, out), "");
  EXPECT_TRUE(out.empty());
}
