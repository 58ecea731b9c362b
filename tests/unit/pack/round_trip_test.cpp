#include <gtest/gtest.h>

#include "pack/compress.h"
#include "pack/pak_archive.h"
#include "test_bytes.h"
#include "tools/pakread/pakread.h"

namespace {

struct Sample {
  const char* name;
  Bytes bytes;
};

std::vector<Sample> Samples() {
  Bytes mixed = LogText(1 << 20, 4);
  const Bytes noise = RandomBytes(1 << 19, 8);
  mixed.insert(mixed.begin() + (1 << 19), noise.begin(), noise.end());
  return {
      {"one byte", Bytes{0}},
      {"two bytes", Bytes{0xFF, 0xFF}},
      {"all byte values",
       [] {
         Bytes bytes(256);
         for (int i = 0; i < 256; ++i) bytes[i] = static_cast<uint8_t>(i);
         return bytes;
       }()},
      {"random 64 KB", RandomBytes(1 << 16, 1)},
      {"random 3 MB", RandomBytes(3 << 20, 2)},
      {"zeros 4 MB", Bytes(4 << 20, 0)},
      {"log text 4 MB", LogText(4 << 20, 3)},
      {"log with noise", mixed},
  };
}

}  // namespace

TEST(RoundTrip, EveryPackTypeDecodesToTheInput) {
  for (const Sample& sample : Samples()) {
    for (int packType : {kPackStored, kPackLzw, kPackLzo}) {
      unsigned char* buffer = HeapCopy(sample.bytes);
      int length = static_cast<int>(sample.bytes.size());
      ASSERT_EQ(Compress(buffer, length, packType, 0, 1), kCompressOk) << sample.name;
      ASSERT_TRUE(pakread::LooksLikeBlock(buffer, static_cast<size_t>(length))) << sample.name;
      Bytes decoded;
      pakread::BlockInfo info;
      const std::string reason =
          pakread::DecodeBlock(buffer, static_cast<size_t>(length), decoded, &info);
      delete[] buffer;
      ASSERT_EQ(reason, "") << sample.name << " type " << packType;
      EXPECT_EQ(info.packType, packType);
      EXPECT_EQ(info.rawSize, sample.bytes.size());
      EXPECT_TRUE(decoded == sample.bytes) << sample.name << " type " << packType;
    }
  }
}

TEST(RoundTrip, ArchiveEntriesExtractToTheirData) {
  const std::vector<Sample> samples = Samples();
  PakArchive archive;
  for (const Sample& sample : samples) {
    archive.AddEntry(sample.name, sample.bytes.data(), static_cast<uint32_t>(sample.bytes.size()));
  }
  archive.AddEntry("empty", nullptr, 0);
  uint32_t size = 0;
  const unsigned char* image = archive.Build(&size);
  ASSERT_NE(image, nullptr);

  std::vector<pakread::EntryInfo> entries;
  ASSERT_EQ(pakread::ParseArchive(image, size, entries), "");
  ASSERT_EQ(entries.size(), samples.size() + 1);
  for (size_t i = 0; i < samples.size(); ++i) {
    EXPECT_EQ(entries[i].name, samples[i].name);
    Bytes decoded;
    ASSERT_EQ(pakread::ExtractEntry(image, size, entries[i], decoded), "") << samples[i].name;
    EXPECT_TRUE(decoded == samples[i].bytes) << samples[i].name;
    // Compressible samples are packed, incompressible ones kept raw.
    EXPECT_EQ(entries[i].isBlock, entries[i].size < samples[i].bytes.size()) << samples[i].name;
  }
  EXPECT_TRUE(entries[3].size == samples[3].bytes.size() && !entries[3].isBlock);
  EXPECT_TRUE(entries[6].isBlock);
  EXPECT_EQ(entries.back().size, 0u);
  Bytes decoded{1};
  EXPECT_EQ(pakread::ExtractByName(image, size, "empty", decoded), "");
  EXPECT_TRUE(decoded.empty());
}
