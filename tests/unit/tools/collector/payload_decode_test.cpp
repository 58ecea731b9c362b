#include "formats/payload_decode.h"

#include <gtest/gtest.h>

#include "collector_harness.h"
#include "gbk_texts.h"
#include "pack/pak_archive.h"

namespace {

using collector::DecodedPayload;
using collector::DecodePayload;
using collector::DecodeState;
using collector::DecodeStateName;
using collector::kDefaultMaxDecodedBytes;
using namespace collector_test;

std::string LongLog() {
  std::string log;
  for (int i = 0; i < 200; ++i) {
    log += "[00:00:" + std::to_string(i % 60) + "] tick\r\n";
  }
  return log + "\r\n" + SummaryFor("game.exe", "0xc0000005", "0x401000");
}

TEST(DecodePayload, ShortLogStoredRawInTheArchive) {
  std::string log = "short\r\n";
  std::string image = PackLog(log);
  ASSERT_EQ(image.size(), 64u + log.size());
  DecodedPayload decoded = DecodePayload(image);
  EXPECT_EQ(decoded.state, DecodeState::kArchive);
  EXPECT_EQ(decoded.log, log);
  EXPECT_NE(decoded.note.find("raw"), std::string::npos) << decoded.note;
}

TEST(DecodePayload, CompressedLogIsDecodedByteForByte) {
  std::string log = LongLog();
  std::string image = PackLog(log);
  // The archive really holds an LZO1X-1 block (pack type 11), not the raw text.
  ASSERT_LT(image.size(), 64u + log.size());
  ASSERT_EQ(image.substr(64, 4), std::string("NZ\x0B\x00", 4));
  DecodedPayload decoded = DecodePayload(image);
  EXPECT_EQ(decoded.state, DecodeState::kArchive);
  EXPECT_EQ(decoded.log, log);
  EXPECT_NE(decoded.note.find("LZO1X-1"), std::string::npos) << decoded.note;
}

TEST(DecodePayload, BrokenArchivesAreFlaggedWithAReason) {
  std::string image = PackLog(LongLog());
  // Cut short.
  DecodedPayload decoded = DecodePayload(image.substr(0, image.size() - 5));
  EXPECT_EQ(decoded.state, DecodeState::kUndecodable);
  EXPECT_TRUE(decoded.log.empty());
  EXPECT_FALSE(decoded.note.empty());
  // Only the magic.
  decoded = DecodePayload("PAKF");
  EXPECT_EQ(decoded.state, DecodeState::kUndecodable);
  // A block whose stated raw size does not match what its stream gives.
  std::string wrongSize = image;
  wrongSize[68] = static_cast<char>(wrongSize[68] + 1);
  decoded = DecodePayload(wrongSize);
  EXPECT_EQ(decoded.state, DecodeState::kUndecodable);
  EXPECT_TRUE(decoded.log.empty());
}

TEST(DecodePayload, ArchiveWithoutLogEntryIsUndecodable) {
  PakArchive archive;
  const unsigned char bytes[] = {'a', 'b', 'c'};
  archive.AddEntry("other.txt", bytes, sizeof(bytes));
  uint32_t size = 0;
  unsigned char* image = archive.Build(&size);
  DecodedPayload decoded = DecodePayload(std::string(reinterpret_cast<char*>(image), size));
  EXPECT_EQ(decoded.state, DecodeState::kUndecodable);
  EXPECT_NE(decoded.note.find("log.txt"), std::string::npos) << decoded.note;
}

TEST(DecodePayload, PlainTextIsTheLogArrivedUnpacked) {
  // The fallback line "log.txt读取失败" followed by a summary, exactly as uploaded.
  std::string text = "log.txt\xB6\xC1\xC8\xA1\xCA\xA7\xB0\xDC\r\n" + UnknownSummary("game.exe");
  DecodedPayload decoded = DecodePayload(text);
  EXPECT_EQ(decoded.state, DecodeState::kUnpacked);
  EXPECT_EQ(decoded.log, text);
}

TEST(DecodePayload, LogClaimingMoreThanTheLimitIsNotDecoded) {
  // A genuine archive: a little over the default limit of log lines packs to a few hundred KB.
  std::string log = LongLog();
  while (log.size() <= kDefaultMaxDecodedBytes) log += log;
  const std::string image = PackLog(log);
  ASSERT_LT(image.size(), log.size() / 50);
  DecodedPayload decoded = DecodePayload(image);
  EXPECT_EQ(decoded.state, DecodeState::kTooLarge);
  EXPECT_STREQ(DecodeStateName(decoded.state), "too-large");
  EXPECT_TRUE(decoded.log.empty());
  EXPECT_EQ(decoded.note, "log.txt claims " + std::to_string(log.size()) +
                              " bytes, more than the 33554432-byte limit");

  // The claim alone decides: a log exactly at the limit decodes, one byte less refuses even a
  // damaged stream, which would be undecodable if it were looked at.
  log = LongLog();
  std::string small = PackLog(log);
  decoded = DecodePayload(small, log.size());
  EXPECT_EQ(decoded.state, DecodeState::kArchive);
  EXPECT_EQ(decoded.log, log);
  small[64 + 12] = static_cast<char>(small[64 + 12] ^ 0xFF);
  small[64 + 13] = static_cast<char>(small[64 + 13] ^ 0xFF);
  EXPECT_EQ(DecodePayload(small, log.size()).state, DecodeState::kUndecodable);
  decoded = DecodePayload(small, log.size() - 1);
  EXPECT_EQ(decoded.state, DecodeState::kTooLarge);
  EXPECT_TRUE(decoded.log.empty());
}

TEST(DecodePayload, StackOverTheLimitCostsOnlyTheStack) {
  const std::string log = LongLog();
  const std::string stack(log.size() + 1, 's');
  DecodedPayload decoded =
      DecodePayload(PackEntries({{"log.txt", log}, {"stack.txt", stack}}), log.size());
  EXPECT_EQ(decoded.state, DecodeState::kArchive);
  EXPECT_EQ(decoded.log, log);
  EXPECT_FALSE(decoded.hasStack);
  EXPECT_TRUE(decoded.stack.empty());
  EXPECT_NE(decoded.note.find("stack.txt not decoded: entry 'stack.txt' claims " +
                              std::to_string(stack.size()) + " bytes"),
            std::string::npos)
      << decoded.note;
}

TEST(DecodePayload, PlainTextOverTheLimitIsTooLarge) {
  const std::string text = LongLog();
  EXPECT_EQ(DecodePayload(text, text.size()).state, DecodeState::kUnpacked);
  DecodedPayload decoded = DecodePayload(text, text.size() - 1);
  EXPECT_EQ(decoded.state, DecodeState::kTooLarge);
  EXPECT_TRUE(decoded.log.empty());
  EXPECT_EQ(decoded.note, "plain text claims " + std::to_string(text.size()) +
                              " bytes, more than the " + std::to_string(text.size() - 1) +
                              "-byte limit");
}

TEST(DecodePayload, BinaryThatIsNoArchiveAndEmptyFilesAreUndecodable) {
  EXPECT_EQ(DecodePayload(std::string("\x01\x00\x02", 3)).state, DecodeState::kUndecodable);
  EXPECT_EQ(DecodePayload("").state, DecodeState::kUndecodable);
}

}  // namespace
