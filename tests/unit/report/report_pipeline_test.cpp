#include "report/report_pipeline.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/unit/http/loopback_server.h"
#include "tests/unit/report/report_test_folder.h"
#include "tools/pakread/pakread.h"

namespace {

class Recorder : public ReportObserver {
 public:
  void OnExtracting() override { events.push_back("extracting"); }
  void OnSubmitting() override { events.push_back("submitting"); }
  void OnNetworkStartFailed(int code) override { Add("start failed ", code); }
  void OnOpenUrlFailed(int code) override { Add("open failed ", code); }
  void OnAddFileFailed(int code) override { Add("add file failed ", code); }
  void OnAnswered(int statusCode) override { Add("answered ", statusCode); }
  void OnFinished() override { events.push_back("finished"); }

  std::vector<std::string> events;

 private:
  void Add(const char* what, int code) { events.push_back(what + std::to_string(code)); }
};

// The data of the multipart part whose Content-Disposition ends with the given parameters.
std::string PartData(const std::string& request, const std::string& parameters) {
  const size_t at = request.find("boundary=") + 9;
  const std::string end = "\r\n--" + request.substr(at, request.find("\r\n", at) - at);
  const size_t line = request.find("form-data; " + parameters + "\r\n");
  if (line == std::string::npos) return "(no such part)";
  const size_t start = request.find("\r\n\r\n", line) + 4;
  return request.substr(start, request.find(end, start) - start);
}

TEST(ReportPipelineTest, UploadsVersionAndPackedLogWithSummary) {
  ReportTestFolder folder;
  folder.Write("ver.csv", "name,major,minor,patch\r\nVexo Quest,1,4,27\r\n");
  std::string log;
  for (int i = 0; i < 200; ++i) log += "[10:00:" + std::to_string(i % 60) + "] INFO frame\r\n";
  folder.Write("log.txt", log);
  const std::string summary = "Exception code: 0xc0000005\r\n";

  LoopbackServer server;
  server.ReadRequest().Send("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n");
  server.Start();
  const std::string prefix = folder.Prefix();
  ReportInputs inputs;
  inputs.folder = prefix.c_str();
  NetTransport transport;
  Recorder recorder;
  SubmitReport(server.Url("/crash/upload").c_str(), summary.c_str(), inputs, transport, recorder);
  const std::string request = server.Join();

  EXPECT_EQ(std::vector<std::string>({"extracting", "submitting", "answered 200", "finished"}),
            recorder.events);
  EXPECT_EQ(0u, request.find("POST /crash/upload HTTP/1.0\r\n"));
  EXPECT_EQ("1.4.27", PartData(request, "name=\"ver\""));
  const std::string pak = PartData(request, "name=\"file\"; filename=\"log.pak\"");
  std::vector<uint8_t> decoded;
  ASSERT_EQ("", pakread::ExtractByName(reinterpret_cast<const uint8_t*>(pak.data()), pak.size(),
                                       "log.txt", decoded));
  EXPECT_EQ(log + "\r\n" + summary, std::string(decoded.begin(), decoded.end()));
}

class FailingStart : public NetTransport {
 public:
  int Start() override { return 10092; }
  void Stop() override { ++stops; }
  int stops = 0;
};

TEST(ReportPipelineTest, FailedNetworkStartTellsItsCodeAndConnectsNowhere) {
  ReportTestFolder folder;
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

  const std::string prefix = folder.Prefix();
  ReportInputs inputs;
  inputs.folder = prefix.c_str();
  FailingStart transport;
  Recorder recorder;
  SubmitReport("http://", "summary", inputs, transport, recorder);
  EXPECT_TRUE(recorder.events.empty());  // an unusable URL does nothing at all
  SubmitReport(url.c_str(), "summary", inputs, transport, recorder);

  EXPECT_EQ(
      std::vector<std::string>({"extracting", "submitting", "start failed 10092", "finished"}),
      recorder.events);
  EXPECT_EQ(0, transport.stops);
  fd_set pending;
  FD_ZERO(&pending);
  FD_SET(listener, &pending);
  timeval now{0, 0};
  EXPECT_EQ(0, select(NetSelectWidth(listener), &pending, nullptr, nullptr, &now));
  closesocket(listener);
}

}  // namespace
