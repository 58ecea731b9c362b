#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "report/log_text.h"
#include "report/report_pipeline.h"
#include "tests/unit/http/loopback_server.h"
#include "tools/pakread/pakread.h"

namespace {

namespace fs = std::filesystem;

// A fresh folder for the game's files, removed with them at the end of the test.
struct GameFolder {
  GameFolder() { fs::create_directories(path); }
  ~GameFolder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  void Write(const char* name, const std::string& bytes) const {
    std::ofstream(path / name, std::ios::binary) << bytes;
  }
  // With no name: the folder with a trailing separator, as ReportInputs::folder takes it.
  std::string Path(const char* name = "") const { return (path / name).string(); }

  const fs::path path =
      fs::temp_directory_path() / ("vexo-report-" + std::to_string(std::random_device{}()));
};

std::string Text(const ReportVersion& version) {
  char text[kVersionTextSize];
  FormatVersionText(version, text);
  return text;
}

TEST(ReportVersionTest, CsvGivesTheFirstThreeNumbersAfterTheFirstLineFeed) {
  const char* const cases[][2] = {
      {"name,major,minor,patch\r\nVexo Quest,1,2,3\r\n", "1.2.3"},
      {"v\n12,3,4\n", "12.3.4"},
      {"v\n1.10.3\n", "1.10.3"},
      {"v\n1,08,3\n", "1.0.8"},  // 08 reads as octal 0, then the 8 on its own
      {"v\n5\n7,8\n", "5.7.8"},
      {"v\n100.200.300\n", "100.200.3"},
      {"v\n-7,0x1f\n", "7.31.0"},  // a '-' is no digit; 0x is hexadecimal
      {"1,2,3", "0.0.0"},
      {"v\n0,0,0\n", "0.0.0"},
  };
  for (const auto& c : cases) EXPECT_EQ(c[1], Text(VersionFromCsvText(c[0]))) << c[0];
}

TEST(ReportVersionTest, ConfValueIsDottedNumbersElseOneZeroZero) {
  const char* const cases[][2] = {
      {"2.5", "2.5.0"},       {"1..3", "1.0.3"},  {"-1.0.0", "-1.0.0"}, {"0x10.1.1", "16.1.1"},
      {"1.4.27.9", "1.4.27"}, {"0.0.0", "1.0.0"}, {"abc", "1.0.0"},     {"", "1.0.0"},
  };
  for (const auto& c : cases) EXPECT_EQ(c[1], Text(VersionFromConfValue(c[0]))) << c[0];
}

std::string Bytes(const LogText& text) { return std::string(text.data(), text.size()); }

TEST(LogTextTest, LogLineBreakAndSummaryOrTheFallbackLine) {
  // log.txt读取失败 CR LF
  const std::string fallback = "log.txt\xB6\xC1\xC8\xA1\xCA\xA7\xB0\xDC\r\n";
  const std::string nulLog("\0first\0", 7);
  const std::string cases[][3] = {
      {"line\r\n", "S\r\n", "line\r\n\r\nS\r\n"},
      {nulLog, "S", nulLog + "\r\nS"},  // the game's log is sent whole, NUL bytes included
      {"x", "", "x\r\n"},
      {"", "S", fallback + "S"},
      {"", "", ""},  // nothing to send
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c[2], Bytes(LogText::Assemble(c[0].data(), c[0].size(), c[1].c_str()))) << c[0];
  }
  GameFolder folder;
  const std::string log = folder.Path("log.txt");
  EXPECT_EQ(fallback + "S", Bytes(LogText::Read(log.c_str(), "S")));  // no log.txt at all
}

class Recorder : public ReportObserver {
 public:
  void OnExtracting() override { events += "extracting;"; }
  void OnSubmitting() override { events += "submitting;"; }
  void OnNetworkStartFailed(int code) override { Add("start failed ", code); }
  void OnOpenUrlFailed(int code) override { Add("open failed ", code); }
  void OnAddFileFailed(int code) override { Add("add file failed ", code); }
  void OnAnswered(int statusCode) override { Add("answered ", statusCode); }
  void OnFinished() override { events += "finished"; }
  void Add(const char* what, int code) { events += what + std::to_string(code) + ";"; }
  std::string events;
};

// The data of the multipart part whose Content-Disposition ends with these parameters.
std::string PartData(const std::string& request, const std::string& parameters) {
  const size_t at = request.find("boundary=") + 9;
  const std::string end = "\r\n--" + request.substr(at, request.find("\r\n", at) - at);
  const size_t line = request.find("form-data; " + parameters + "\r\n");
  if (line == std::string::npos) return "(no such part)";
  const size_t start = request.find("\r\n\r\n", line) + 4;
  return request.substr(start, request.find(end, start) - start);
}

unsigned ConfTwoFive(char* buffer, unsigned size) { return std::snprintf(buffer, size, "2.5"); }

// A crash record as the crash path leaves it; on the heap, it is larger than a test's stack wants.
std::unique_ptr<CrashRecord> Crash(const std::string& url, const std::string& summary,
                                   const std::string& stack = "") {
  auto crash = std::make_unique<CrashRecord>();
  std::snprintf(crash->url, sizeof crash->url, "%s", url.c_str());
  std::snprintf(crash->summary, sizeof crash->summary, "%s", summary.c_str());
  std::snprintf(crash->stackTrace, sizeof crash->stackTrace, "%s", stack.c_str());
  return crash;
}

TEST(ReportPipelineTest, UploadsVersionAndPackedLogWithSummaryStackAndDump) {
  GameFolder folder;
  folder.Write("ver.csv", "name,major,minor,patch\r\nVexo Quest,0,0,0\r\n");  // conf.ini's then
  std::string log;
  for (int i = 0; i < 200; ++i) log += "[10:00:" + std::to_string(i % 60) + "] INFO frame\r\n";
  folder.Write("log.txt", log);
  const std::string summary = "Exception code: 0xc0000005\r\n";
  LoopbackServer server;
  server.ReadRequest().Send("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n");
  server.Start();

  const std::string prefix = folder.Path();
  ReportInputs inputs;
  inputs.folder = prefix.c_str();
  inputs.readConfVersion = ConfTwoFive;
  const std::string stack = "VexoCrashRpt stack 1\r\n#0 game.exe+0x155d context\r\n";
  auto crash = Crash(server.Url("/crash/upload"), summary, stack);
  const std::vector<uint8_t> dump = {'M', 'D', 'M', 'P', 0x93, 0xA7, 0, 0, 0, 0xFF};
  crash->minidump = dump.data();
  crash->minidumpSize = dump.size();
  NetTransport transport;
  Recorder recorder;
  SubmitReport(*crash, inputs, transport, recorder);
  const std::string request = server.Join();

  EXPECT_EQ("extracting;submitting;answered 200;finished", recorder.events);
  EXPECT_EQ(0u, request.find("POST /crash/upload HTTP/1.0\r\n"));
  EXPECT_EQ("2.5.0", PartData(request, "name=\"ver\""));
  const std::string pak = PartData(request, "name=\"file\"; filename=\"log.pak\"");
  std::vector<uint8_t> decoded;
  ASSERT_EQ("", pakread::ExtractByName(reinterpret_cast<const uint8_t*>(pak.data()), pak.size(),
                                       "log.txt", decoded));
  EXPECT_EQ(log + "\r\n" + summary, std::string(decoded.begin(), decoded.end()));
  ASSERT_EQ("", pakread::ExtractByName(reinterpret_cast<const uint8_t*>(pak.data()), pak.size(),
                                       "stack.txt", decoded));
  EXPECT_EQ(stack, std::string(decoded.begin(), decoded.end()));
  // The dump comes last, as it was given.
  ASSERT_EQ("", pakread::ExtractByName(reinterpret_cast<const uint8_t*>(pak.data()), pak.size(),
                                       "crash.dmp", decoded));
  EXPECT_EQ(dump, decoded);
  EXPECT_LT(pak.find("stack.txt"), pak.find("crash.dmp"));
}

class FailingStart : public NetTransport {
 public:
  int Start() override { return 10092; }
  void Stop() override { ++stops; }
  int stops = 0;
};

TEST(ReportPipelineTest, FailedNetworkStartTellsItsCodeAndConnectsNowhere) {
  GameFolder folder;
  folder.Write("log.txt", "line\r\n");
  // A listener nobody accepts on: a connection would wait in its queue.
  SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = inet_addr("127.0.0.1");
  NetSockLen length = sizeof(address);
  ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
  ASSERT_EQ(0, listen(listener, 1));
  ASSERT_EQ(0, getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length));
  const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";

  const std::string prefix = folder.Path();
  ReportInputs inputs;
  inputs.folder = prefix.c_str();
  FailingStart transport;
  Recorder recorder;
  SubmitReport(*Crash("http://", "summary"), inputs, transport, recorder);
  EXPECT_EQ("", recorder.events);  // an unusable URL does nothing at all
  SubmitReport(*Crash(url, "summary"), inputs, transport, recorder);

  EXPECT_EQ("extracting;submitting;start failed 10092;finished", recorder.events);
  EXPECT_EQ(0, transport.stops);
  fd_set pending;
  FD_ZERO(&pending);
  FD_SET(listener, &pending);
  timeval now{0, 0};
  EXPECT_EQ(0, select(NetSelectWidth(listener), &pending, nullptr, nullptr, &now));
  closesocket(listener);
}

}  // namespace
