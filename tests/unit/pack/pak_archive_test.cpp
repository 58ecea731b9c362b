#include "pack/pak_archive.h"

#include <gtest/gtest.h>

#include <string>

#include "pack/compress.h"
#include "test_bytes.h"

namespace {

uint32_t Le32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
         (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

Bytes Built(PakArchive& archive) {
  uint32_t size = 12345;
  unsigned char* image = archive.Build(&size);
  EXPECT_NE(image, nullptr);
  EXPECT_EQ(size, archive.imageSize);
  return image == nullptr ? Bytes() : Bytes(image, image + size);
}

uint32_t EntryField(const Bytes& image, int index, int fieldOffset) {
  return Le32(image.data() + 16 + 48 * index + fieldOffset);
}

}  // namespace

TEST(PakArchive, StartsEmpty) {
  PakArchive archive;
  EXPECT_EQ(archive.magic, kPakMagic);
  EXPECT_EQ(archive.version, kPakVersion);
  EXPECT_EQ(archive.entryCount, 0);
  EXPECT_EQ(archive.entries, nullptr);
  EXPECT_EQ(archive.data, nullptr);
  EXPECT_EQ(archive.image, nullptr);
  uint32_t size = 99;
  EXPECT_EQ(archive.Build(&size), nullptr);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(archive.Build(), nullptr);
}

TEST(PakArchive, TenByteTextGivesTheLogPakLayout) {
  PakArchive archive;
  const Bytes text = ToBytes("0123456789");
  ASSERT_EQ(archive.AddEntry("log.txt", text.data(), 10), kAddEntryOk);
  const Bytes image = Built(archive);
  ASSERT_EQ(image.size(), 74u);
  EXPECT_EQ(Bytes(image.begin(), image.begin() + 16),
            (Bytes{0x50, 0x41, 0x4B, 0x46, 0x33, 0x30, 0x30, 0x31, 0x4A, 0x00, 0x00, 0x00, 0x01,
                   0x00, 0x00, 0x00}));
  Bytes record(48, 0);
  std::memcpy(record.data(), "log.txt", 7);
  record[32] = 0x40;
  record[36] = 10;
  EXPECT_EQ(Bytes(image.begin() + 16, image.begin() + 64), record);
  EXPECT_EQ(Bytes(image.begin() + 64, image.end()), text);
}

TEST(PakArchive, OffsetsFollowSizes) {
  PakArchive archive;
  archive.AddEntry("five", ToBytes("12345").data(), 5);
  archive.AddEntry("seven", ToBytes("1234567").data(), 7);
  const Bytes image = Built(archive);
  ASSERT_EQ(image.size(), 124u);
  EXPECT_EQ(Le32(image.data() + 8), 124u);
  EXPECT_EQ(Le32(image.data() + 12), 2u);
  EXPECT_EQ(EntryField(image, 0, 32), 112u);
  EXPECT_EQ(EntryField(image, 0, 36), 5u);
  EXPECT_EQ(EntryField(image, 1, 32), 117u);
  EXPECT_EQ(EntryField(image, 1, 36), 7u);
  EXPECT_EQ(std::string(image.begin() + 112, image.end()), "123451234567");
}

TEST(PakArchive, LongNamesAreCutTo31Characters) {
  PakArchive archive;
  const std::string name(40, 'n');
  archive.AddEntry(name.c_str(), ToBytes("x").data(), 1);
  const Bytes image = Built(archive);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(image.data() + 16)), std::string(31, 'n'));
  EXPECT_EQ(image[16 + 31], 0);
}

TEST(PakArchive, MissingNameChangesNothing) {
  PakArchive archive;
  EXPECT_EQ(archive.AddEntry(nullptr, ToBytes("x").data(), 1), kAddEntryNoName);
  EXPECT_EQ(archive.AddEntry("", ToBytes("x").data(), 1), kAddEntryNoName);
  EXPECT_EQ(archive.entryCount, 0);
  EXPECT_EQ(archive.dataSize, 0u);
  EXPECT_EQ(archive.Build(), nullptr);
}

TEST(PakArchive, ShortDataIsNeverCompressed) {
  // 16 bytes are not offered to the compressor; 17 are, but cannot shrink past the header.
  const Bytes sixteen(16, 'a');
  const Bytes seventeen(17, 'a');
  PakArchive archive;
  archive.AddEntry("16", sixteen.data(), 16);
  archive.AddEntry("17", seventeen.data(), 17);
  const Bytes image = Built(archive);
  EXPECT_EQ(EntryField(image, 0, 36), 16u);
  EXPECT_EQ(EntryField(image, 1, 36), 17u);
  EXPECT_EQ(Bytes(image.begin() + 16 + 96, image.begin() + 16 + 96 + 16), sixteen);
  EXPECT_EQ(Bytes(image.begin() + 16 + 96 + 16, image.end()), seventeen);
}

TEST(PakArchive, RepetitiveTextBecomesAnLzoBlock) {
  const Bytes text = LogText(20000, 9);
  PakArchive archive;
  archive.AddEntry("log.txt", text.data(), static_cast<uint32_t>(text.size()));
  const Bytes image = Built(archive);

  // The block is exactly what Compress makes of the text.
  unsigned char* block = const_cast<unsigned char*>(text.data());
  int blockLength = static_cast<int>(text.size());
  ASSERT_EQ(Compress(block, blockLength, kPackLzo, 0, 0), kCompressOk);
  const Bytes expected = BlockBytes(block, blockLength);
  delete[] block;
  ASSERT_LT(expected.size(), text.size());
  EXPECT_EQ(EntryField(image, 0, 36), expected.size());
  EXPECT_EQ(Le32(image.data() + 64 + 4), text.size());
  EXPECT_EQ(Bytes(image.begin() + 64, image.end()), expected);
  EXPECT_EQ(image.size(), 64 + expected.size());
}

TEST(PakArchive, EmptyEntriesShareTheNextOffset) {
  PakArchive archive;
  archive.AddEntry("null", nullptr, 50);
  EXPECT_EQ(archive.AddEntry("zero", ToBytes("ignored").data(), 0), kAddEntryOk);
  archive.AddEntry("data", ToBytes("abc").data(), 3);
  const Bytes image = Built(archive);
  ASSERT_EQ(image.size(), 16u + 3 * 48 + 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(EntryField(image, i, 32), 160u) << i;
  EXPECT_EQ(EntryField(image, 0, 36), 0u);
  EXPECT_EQ(EntryField(image, 1, 36), 0u);
  EXPECT_EQ(EntryField(image, 2, 36), 3u);
}

TEST(PakArchive, RebuildGivesTheSameImageAndPicksUpNewEntries) {
  PakArchive archive;
  const Bytes text = LogText(5000, 2);
  archive.AddEntry("log.txt", text.data(), static_cast<uint32_t>(text.size()));
  const Bytes first = Built(archive);
  const Bytes second = Built(archive);
  EXPECT_EQ(first, second);

  archive.AddEntry("more", ToBytes("tail").data(), 4);
  const Bytes third = Built(archive);
  EXPECT_EQ(Le32(third.data() + 12), 2u);
  EXPECT_EQ(EntryField(third, 0, 32), 16u + 96);
  EXPECT_EQ(EntryField(third, 1, 32), 16u + 96 + EntryField(third, 0, 36));
  EXPECT_EQ(std::string(third.end() - 4, third.end()), "tail");
}

TEST(PakArchive, DuplicateNamesAreKept) {
  PakArchive archive;
  archive.AddEntry("same", ToBytes("1").data(), 1);
  archive.AddEntry("same", ToBytes("2").data(), 1);
  EXPECT_EQ(archive.entryCount, 2);
  EXPECT_EQ(Built(archive).size(), 16u + 96 + 2);
}

TEST(PakArchive, EntryBeyondTheSizeFieldsIsRefused) {
  // Too long for the 32-bit sizes: refused before any byte is read, archive unchanged.
  PakArchive archive;
  const Bytes small = ToBytes("abc");
  EXPECT_EQ(archive.AddEntry("huge", small.data(), 0xFFFFFFF0u), kAddEntryTooLarge);
  EXPECT_EQ(archive.entryCount, 0);
  EXPECT_EQ(archive.dataSize, 0u);
}
