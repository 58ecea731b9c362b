#include "pack/compress.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "test_bytes.h"

namespace {

struct Packed {
  int result;
  Bytes block;
};

// Compresses a copy of input, with the input released by Compress itself.
Packed Pack(const Bytes& input, int packType, int storeIfPoor) {
  unsigned char* buffer = HeapCopy(input);
  int length = static_cast<int>(input.size());
  Packed packed;
  packed.result = Compress(buffer, length, packType, storeIfPoor, 1);
  if (packed.result != kCompressOk) {
    delete[] buffer;
    return packed;
  }
  packed.block = BlockBytes(buffer, length);
  delete[] buffer;
  return packed;
}

void ExpectFailure(unsigned char* input, int length, int packType, const char* text) {
  unsigned char* buffer = input;
  int inOutLength = length;
  std::strcpy(CompressError, "stale");
  EXPECT_EQ(Compress(buffer, inOutLength, packType, 1, 1), kCompressFailed);
  EXPECT_EQ(buffer, input);
  EXPECT_EQ(inOutLength, length);
  EXPECT_STREQ(CompressError, text);
}

}  // namespace

TEST(Compress, AbcWithLzoGivesTheLibraryStream) {
  const Packed packed = Pack(ToBytes("abc"), kPackLzo, 0);
  ASSERT_EQ(packed.result, kCompressOk);
  EXPECT_EQ(packed.block, (Bytes{0x4E, 0x5A, 0x0B, 0x00, 0x03, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00,
                                 0x00, 0x14, 0x61, 0x62, 0x63, 0x11, 0x00, 0x00}));
}

TEST(Compress, AbcWithLzoStoresWhenPoor) {
  const Packed packed = Pack(ToBytes("abc"), kPackLzo, 1);
  ASSERT_EQ(packed.result, kCompressOk);
  EXPECT_EQ(packed.block, (Bytes{0x4E, 0x5A, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00,
                                 0x00, 0x61, 0x62, 0x63}));
}

TEST(Compress, AbababWithLzw) {
  const Packed packed = Pack(ToBytes("ababab"), kPackLzw, 0);
  ASSERT_EQ(packed.result, kCompressOk);
  // Codes 97, 98, 257, 257, 256.
  EXPECT_EQ(packed.block,
            (Bytes{0x4E, 0x5A, 0x0A, 0x00, 0x06, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00,
                   0x00, 0x61, 0x00, 0x62, 0x00, 0x01, 0x01, 0x01, 0x01, 0x00, 0x01}));

  const Packed stored = Pack(ToBytes("ababab"), kPackLzw, 1);
  ASSERT_EQ(stored.result, kCompressOk);
  EXPECT_EQ(stored.block, (Bytes{0x4E, 0x5A, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00,
                                 0x00, 0x61, 0x62, 0x61, 0x62, 0x61, 0x62}));
}

TEST(Compress, ShortLzwInputs) {
  const Packed one = Pack(ToBytes("a"), kPackLzw, 0);
  ASSERT_EQ(one.result, kCompressOk);
  EXPECT_EQ(Bytes(one.block.begin() + 12, one.block.end()), (Bytes{0x61, 0x00, 0x00, 0x01}));
  EXPECT_EQ(one.block[8], 4);

  // Codes 97, 257, 258, 97, 256.
  const Packed seven = Pack(ToBytes("aaaaaaa"), kPackLzw, 0);
  ASSERT_EQ(seven.result, kCompressOk);
  EXPECT_EQ(Bytes(seven.block.begin() + 12, seven.block.end()),
            (Bytes{0x61, 0x00, 0x01, 0x01, 0x02, 0x01, 0x61, 0x00, 0x00, 0x01}));
}

TEST(Compress, PoorLimitRoundsHalvesUp) {
  EXPECT_EQ(PoorLimit(10), 10);
  EXPECT_EQ(PoorLimit(30), 29);
  EXPECT_EQ(PoorLimit(20), 19);
  EXPECT_EQ(PoorLimit(100), 95);
  EXPECT_EQ(PoorLimit(1), 1);
  // The 64-bit intermediate: n * 95 would overflow 32 bits here.
  EXPECT_EQ(PoorLimit(INT_MAX), 2040109465);
}

TEST(Compress, PackedFormOfExactlyTheLimitIsUsed) {
  // Ten 'a' give the codes 97, 257, 258, 259, 256: 10 bytes, the limit for n = 10.
  const Packed atLimit = Pack(Bytes(10, 'a'), kPackLzw, 1);
  ASSERT_EQ(atLimit.result, kCompressOk);
  EXPECT_EQ(atLimit.block[2], kPackLzw);
  EXPECT_EQ(atLimit.block.size(), 22u);
}

// For each length, finds inputs whose packed form is exactly the limit and one byte (or, for the
// even-length LZW stream, two bytes) over it, and checks which form storeIfPoor keeps.
TEST(Compress, StoreIfPoorBoundaryForBothCoders) {
  // LZO1X-1 leaves inputs of 20 bytes or so as literals, so its short cases start at 100.
  for (int packType : {kPackLzw, kPackLzo}) {
    for (int n : packType == kPackLzw ? std::vector<int>{10, 20, 30, 100}
                                      : std::vector<int>{100, 200, 1000}) {
      const int64_t limit = PoorLimit(n);
      bool sawKept = false;
      bool sawStored = false;
      for (uint32_t seed = 0; seed < 20000 && !(sawKept && sawStored); ++seed) {
        // Periodic text with random changes: every degree of compressibility turns up.
        std::mt19937 random(seed);
        const unsigned alphabet = 1 + seed % 7;
        const size_t period = 1 + (seed / 7) % 13;
        const unsigned noise = (seed / 91) % 5;
        Bytes input(static_cast<size_t>(n));
        for (size_t i = 0; i < input.size(); ++i) {
          const bool fresh = i < period || random() % 8 < noise;
          input[i] =
              fresh ? static_cast<uint8_t>('a' + random() % (alphabet * 4)) : input[i - period];
        }
        const Packed plain = Pack(input, packType, 0);
        ASSERT_EQ(plain.result, kCompressOk);
        const int64_t m = static_cast<int64_t>(plain.block.size()) - 12;
        const bool atLimit = m == limit || (packType == kPackLzw && m == limit - (limit % 2));
        const bool justOver =
            m == limit + 1 || (packType == kPackLzw && m == limit + 2 - (limit % 2));
        if (!atLimit && !justOver) continue;
        const Packed poor = Pack(input, packType, 1);
        ASSERT_EQ(poor.result, kCompressOk);
        if (atLimit) {
          sawKept = true;
          EXPECT_EQ(poor.block, plain.block) << "n=" << n << " m=" << m;
        } else {
          sawStored = true;
          EXPECT_EQ(poor.block[2], kPackStored) << "n=" << n << " m=" << m;
          EXPECT_EQ(Bytes(poor.block.begin() + 12, poor.block.end()), input);
        }
      }
      EXPECT_TRUE(sawKept && sawStored)
          << "no boundary input found, type " << packType << " n=" << n;
    }
  }
}

TEST(Compress, StoredBlockAndCallerKeepsInput) {
  const Bytes input = ToBytes("hello, stored world");
  unsigned char* original = HeapCopy(input);
  unsigned char* buffer = original;
  int length = static_cast<int>(input.size());
  ASSERT_EQ(Compress(buffer, length, kPackStored, 1, 0), kCompressOk);
  ASSERT_NE(buffer, original);
  EXPECT_EQ(length, 12 + static_cast<int>(input.size()));
  const Bytes block = BlockBytes(buffer, length);
  EXPECT_EQ(Bytes(block.begin(), block.begin() + 12),
            (Bytes{0x4E, 0x5A, 0x00, 0x00, 19, 0, 0, 0, 19, 0, 0, 0}));
  EXPECT_EQ(Bytes(block.begin() + 12, block.end()), input);
  // Still ours: the sanitizer would report a double free if Compress had released it.
  EXPECT_EQ(Bytes(original, original + input.size()), input);
  delete[] original;
  delete[] buffer;
}

TEST(Compress, ReleasesInputExactlyOnceOnEveryPath) {
  // Under ASan a second release or a leak of either the input or a compressor's output fails.
  const Bytes incompressible = RandomBytes(4096, 7);
  for (int packType : {kPackStored, kPackLzw, kPackLzo}) {
    for (int storeIfPoor : {0, 1}) {
      const Packed packed = Pack(incompressible, packType, storeIfPoor);
      ASSERT_EQ(packed.result, kCompressOk);
      const int expectedType = storeIfPoor ? kPackStored : packType;
      EXPECT_EQ(packed.block[2], expectedType) << packType << "/" << storeIfPoor;
    }
  }
}

TEST(Compress, IncompressibleInputStillPacksWithoutStoreIfPoor) {
  const Bytes input = RandomBytes(1000, 3);
  for (int packType : {kPackLzw, kPackLzo}) {
    const Packed packed = Pack(input, packType, 0);
    ASSERT_EQ(packed.result, kCompressOk);
    EXPECT_EQ(packed.block[2], packType);
    EXPECT_GT(packed.block.size(), 12 + input.size());
  }
}

TEST(Compress, ParameterErrorsLeaveEverythingUntouched) {
  unsigned char* input = HeapCopy(ToBytes("data"));
  ExpectFailure(nullptr, 4, kPackLzo, "in Compress fun, parameter error!");
  // The length is tested before the pack type.
  ExpectFailure(input, 0, 5, "in Compress fun, parameter error!");
  ExpectFailure(input, -4, kPackStored, "in Compress fun, parameter error!");
  ExpectFailure(input, 4, 5, "in Compress fun, pack type parameter error!");
  ExpectFailure(input, 4, 1, "in Compress fun, pack type parameter error!");
  ExpectFailure(input, 4, 12, "in Compress fun, pack type parameter error!");
  EXPECT_EQ(Bytes(input, input + 4), ToBytes("data"));
  delete[] input;
}

TEST(Compress, BlockThatWouldNotFitTheLengthIsRefused) {
  // Rejected before the input is read, so a short buffer is safe here.
  unsigned char* input = HeapCopy(ToBytes("x"));
  ExpectFailure(input, INT_MAX - 11, kPackStored, "in Compress fun, parameter error!");
  ExpectFailure(input, INT_MAX, kPackStored, "in Compress fun, parameter error!");
  delete[] input;
}

TEST(Compress, StoredLengthJustBelowTheCeilingIsAccepted) {
  const Bytes input = RandomBytes(64, 1);
  const Packed packed = Pack(input, kPackStored, 0);
  ASSERT_EQ(packed.result, kCompressOk);
  EXPECT_EQ(packed.block.size(), 76u);
}

#ifdef _WIN32
TEST(Compress, LzoOutputBufferExhaustionIsReported) {
  // A 32-bit process cannot hold n + n/16 + 67 bytes for this n; nothing is read before that.
  unsigned char* input = HeapCopy(ToBytes("x"));
  ExpectFailure(input, INT_MAX, kPackLzo, "in Compress fun, new alloc error! (2281701438)");
  delete[] input;
}
#endif
