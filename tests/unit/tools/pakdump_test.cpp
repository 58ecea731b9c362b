#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pack/compress.h"
#include "pack/pak_archive.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct ToolRun {
  int exitCode;
  std::string out;
  std::string err;
};

std::string ReadAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

class PakdumpTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const Bytes& bytes) {
    const std::string path = dir_ + name;
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  ToolRun Pakdump(const std::string& args) {
    const std::string out = dir_ + "stdout";
    const std::string err = dir_ + "stderr";
    const std::string command =
        std::string("'") + PAKDUMP_PATH + "' " + args + " >'" + out + "' 2>'" + err + "'";
    const int status = std::system(command.c_str());
    ToolRun run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadAll(out);
    run.err = ReadAll(err);
    return run;
  }

  // A failing run: non-zero exit, nothing on stdout, exactly one line on stderr.
  void ExpectOneLineError(const ToolRun& run, const std::string& mentions) {
    EXPECT_NE(run.exitCode, 0);
    EXPECT_EQ(run.out, "");
    ASSERT_FALSE(run.err.empty());
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
    EXPECT_NE(run.err.find(mentions), std::string::npos) << run.err;
  }

  const std::string dir_ = ::testing::TempDir() + "pakdump_" +
                           ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_";
};

Bytes LogPak(const std::string& text, const Bytes& extra = {}) {
  PakArchive archive;
  archive.AddEntry("log.txt", reinterpret_cast<const unsigned char*>(text.data()),
                   static_cast<uint32_t>(text.size()));
  archive.AddEntry("bin", extra.data(), static_cast<uint32_t>(extra.size()));
  uint32_t size = 0;
  const unsigned char* image = archive.Build(&size);
  return Bytes(image, image + size);
}

std::string LongLog() {
  std::string text;
  for (int i = 0; i < 400; ++i) text += "14:02:" + std::to_string(i % 60) + " INFO frame ok\r\n";
  return text;
}

void PutLe32(Bytes& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

TEST_F(PakdumpTest, ListsEntries) {
  const std::string text = LongLog();
  const Bytes image = LogPak(text, Bytes{1, 2, 3});
  const ToolRun run = Pakdump("'" + Write("log.pak", image) + "'");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.err, "");
  std::istringstream lines(run.out);
  std::string header, columns, first, second;
  std::getline(lines, header);
  std::getline(lines, columns);
  std::getline(lines, first);
  std::getline(lines, second);
  EXPECT_EQ(header, "PAKF 3001, 2 entries, " + std::to_string(image.size()) + " bytes");
  std::istringstream firstFields(first);
  std::string name, offset, size, pack, rawSize;
  firstFields >> name >> offset >> size >> pack >> pack >> rawSize;
  EXPECT_EQ(name, "log.txt");
  EXPECT_EQ(offset, "112");
  EXPECT_EQ(pack, "11");
  EXPECT_EQ(rawSize, std::to_string(text.size()));
  std::istringstream secondFields(second);
  secondFields >> name >> offset >> size >> pack >> rawSize;
  EXPECT_EQ(name, "bin");
  EXPECT_EQ(size, "3");
  EXPECT_EQ(pack, "raw");
  EXPECT_EQ(rawSize, "3");
}

TEST_F(PakdumpTest, ExtractsDecodedEntriesBinarySafe) {
  const std::string text = LongLog();
  const Bytes binary = {0, 0x0D, 0x0A, 0xFF, 0x1A, 0};
  const std::string path = Write("log.pak", LogPak(text, binary));
  ToolRun run = Pakdump("-x log.txt '" + path + "'");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, text);
  run = Pakdump("-x bin '" + path + "'");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, std::string(binary.begin(), binary.end()));
  ExpectOneLineError(Pakdump("-x nothere '" + path + "'"), "nothere");
}

TEST_F(PakdumpTest, AcceptsBareBlocks) {
  const std::string text = LongLog();
  for (int packType : {kPackStored, kPackLzw, kPackLzo}) {
    unsigned char* buffer = reinterpret_cast<unsigned char*>(const_cast<char*>(text.data()));
    int length = static_cast<int>(text.size());
    ASSERT_EQ(Compress(buffer, length, packType, 0, 0), kCompressOk);
    const std::string path =
        Write("block" + std::to_string(packType), Bytes(buffer, buffer + length));
    delete[] buffer;
    ToolRun run = Pakdump("'" + path + "'");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "NZ block, type " + std::to_string(packType) + ", raw size " +
                           std::to_string(text.size()) + ", stored size " +
                           std::to_string(length - 12) + "\n");
    run = Pakdump("-x any '" + path + "'");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, text);
  }
}

TEST_F(PakdumpTest, BadInputGivesOneLineAndFailure) {
  const Bytes image = LogPak(LongLog(), Bytes{1, 2, 3});
  ExpectOneLineError(
      Pakdump("'" + Write("truncated", Bytes(image.begin(), image.begin() + 10)) + "'"), "header");

  Bytes pastEnd = image;
  PutLe32(pastEnd, 16 + 48 + 32,
          static_cast<uint32_t>(image.size()));  // bin's 3 bytes past the end
  ExpectOneLineError(Pakdump("'" + Write("past", pastEnd) + "'"), "outside");

  // An NZ block whose stored size claims more than the file holds.
  Bytes block = {'N', 'Z', 0, 0, 4, 0, 0, 0, 4, 0, 0, 0, 'a', 'b'};
  ExpectOneLineError(Pakdump("'" + Write("stored", block) + "'"), "stored size");
  ExpectOneLineError(Pakdump("-x x '" + Write("stored", block) + "'"), "stored size");

  // A corrupt LZO stream inside the archive: caught when listing and when extracting.
  Bytes corrupt = image;
  const size_t streamStart = 112 + 12;
  for (size_t i = streamStart; i < streamStart + 8; ++i) corrupt[i] = 0xFF;
  const std::string corruptPath = Write("corrupt", corrupt);
  ExpectOneLineError(Pakdump("'" + corruptPath + "'"), "LZO");
  ExpectOneLineError(Pakdump("-x log.txt '" + corruptPath + "'"), "LZO");

  ExpectOneLineError(Pakdump("'" + Write("text", Bytes{'h', 'e', 'l', 'l', 'o'}) + "'"), "neither");
  ExpectOneLineError(Pakdump("'" + dir_ + "missing'"), "cannot open");
}

TEST_F(PakdumpTest, UsageErrors) {
  EXPECT_EQ(Pakdump("").exitCode, 2);
  EXPECT_EQ(Pakdump("-x onlyname").exitCode, 2);
  EXPECT_EQ(Pakdump("-y a b").exitCode, 2);
}
