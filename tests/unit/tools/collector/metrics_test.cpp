// /metrics of "collector serve --metrics-listen": the real server fed uploads of known outcomes,
// its counters read back exactly, and the whole scrape checked by Prometheus' own promtool.

#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "collector_harness.h"

namespace {

using namespace collector_test;

const std::string kBoundary = "---------------------------28253686825547";
const std::string kToken = "metrics-test-read-token";

std::string Get(int port, const std::string& path, const std::string& authorization = "") {
  std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  if (!authorization.empty()) {
    request += "Authorization: " + authorization + "\r\n";
  }
  return SendRaw(port, request + "\r\n");
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

uint64_t BodySize(const std::string& request) {
  return request.size() - (request.find("\r\n\r\n") + 4);
}

// Each sample line of the exposition as "name{labels}" -> value; comment lines are left out.
std::map<std::string, std::string> Samples(const std::string& text) {
  std::map<std::string, std::string> samples;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') {
      continue;
    }
    size_t space = line.rfind(' ');
    samples[line.substr(0, space)] = line.substr(space + 1);
  }
  return samples;
}

TEST(CollectorMetrics, CountsWhatTheServerDidAndPromtoolAcceptsTheScrape) {
  // Checked first: a machine without promtool fails here, never skips.
  ASSERT_STRNE(VEXO_PROMTOOL, "") << "promtool is missing: scripts/setup installs prometheus";
  TempDir dir;
  std::ofstream(dir.File("token")) << kToken << "\n";
  CollectorProcess server;
  ASSERT_TRUE(server.Start({"--db", dir.File("r.db"), "--listen", "127.0.0.1:0", "--max-bytes",
                            "4000", "--read-token-file", dir.File("token"), "--metrics-listen",
                            "127.0.0.1:0"},
                           dir.File("serve.err"), 1))
      << server.firstLine() << "\n" << ReadFile(dir.File("serve.err"));
  ASSERT_EQ(server.laterLines().size(), 1u);
  const std::string prefix = "metrics 127.0.0.1:";
  ASSERT_EQ(server.laterLines()[0].compare(0, prefix.size(), prefix), 0)
      << server.laterLines()[0];
  const int metricsPort = std::stoi(server.laterLines()[0].substr(prefix.size()));
  ASSERT_GT(metricsPort, 0);
  ASSERT_NE(metricsPort, server.port());

  // Three decodable reports and one that is no archive: four stored, one of them undecodable.
  uint64_t bodyBytes = 0;
  for (int i = 0; i < 3; ++i) {
    std::string request = BuildUploadRequest("/upload", kBoundary, "1.0." + std::to_string(i),
                                             PackLog("log line " + std::to_string(i) + "\r\n"));
    bodyBytes += BodySize(request);
    ASSERT_EQ(StatusOf(SendRaw(server.port(), request)), 200);
  }
  std::string undecodable =
      BuildUploadRequest("/upload", kBoundary, "1.0.3", std::string("\x01\x02\x00\x03", 4));
  bodyBytes += BodySize(undecodable);
  ASSERT_EQ(StatusOf(SendRaw(server.port(), undecodable)), 200);
  // Refused on their heads: the announced length is over --max-bytes, the body no multipart.
  ASSERT_EQ(StatusOf(SendRaw(server.port(), BuildUploadRequest("/upload", kBoundary, "1.0.4",
                                                               std::string(5000, 'x')))),
            413);
  ASSERT_EQ(StatusOf(SendRaw(server.port(),
                             "POST /upload HTTP/1.0\r\nContent-Type: text/plain\r\n"
                             "Content-Length: 5\r\n\r\nhello")),
            400);
  // One read of each kind, answered by the reader threads.
  ASSERT_EQ(StatusOf(Get(server.port(), "/api/groups", "Bearer " + kToken)), 200);
  ASSERT_EQ(StatusOf(Get(server.port(), "/", "Bearer " + kToken)), 200);

  std::string scrape = Get(metricsPort, "/metrics");
  ASSERT_EQ(StatusOf(scrape), 200) << scrape;
  EXPECT_NE(scrape.find("\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"),
            std::string::npos)
      << scrape.substr(0, scrape.find("\r\n\r\n"));
  std::string body = BodyOf(scrape);
  std::map<std::string, std::string> samples = Samples(body);
  const std::map<std::string, std::string> exact = {
      {"vexo_collector_uploads_total{outcome=\"stored\"}", "4"},
      {"vexo_collector_uploads_total{outcome=\"refused_too_large\"}", "1"},
      {"vexo_collector_uploads_total{outcome=\"refused_bad_request\"}", "1"},
      {"vexo_collector_uploads_total{outcome=\"refused_busy\"}", "0"},
      {"vexo_collector_uploads_total{outcome=\"refused_stopping\"}", "0"},
      {"vexo_collector_uploads_total{outcome=\"store_failed\"}", "0"},
      {"vexo_collector_uploads_total{outcome=\"aborted\"}", "0"},
      {"vexo_collector_received_bytes_total", std::to_string(bodyBytes)},
      {"vexo_collector_decode_failures_total{state=\"undecodable\"}", "1"},
      {"vexo_collector_decode_failures_total{state=\"too-large\"}", "0"},
      {"vexo_collector_read_duration_seconds_count{kind=\"page\"}", "1"},
      {"vexo_collector_read_duration_seconds_count{kind=\"api\"}", "1"},
      {"vexo_collector_read_queue_length", "0"},
      {"vexo_collector_webhook_deliveries_total", "0"},
      {"vexo_collector_webhook_drops_total", "0"},
  };
  for (const auto& [name, value] : exact) {
    auto found = samples.find(name);
    ASSERT_NE(found, samples.end()) << name << " missing from\n" << body;
    EXPECT_EQ(found->second, value) << name;
  }
  EXPECT_EQ(samples.count("vexo_collector_open_connections"), 1u) << body;
  // Four reports in one to four commits, each in the histogram and under +Inf.
  const std::string commits = "vexo_collector_batch_commit_duration_seconds";
  ASSERT_EQ(samples.count(commits + "_count"), 1u) << body;
  int committed = std::stoi(samples[commits + "_count"]);
  EXPECT_GE(committed, 1);
  EXPECT_LE(committed, 4);
  EXPECT_EQ(samples[commits + "_bucket{le=\"+Inf\"}"], samples[commits + "_count"]);
  EXPECT_GT(std::stod(samples[commits + "_sum"]), 0.0);
  EXPECT_EQ(samples["vexo_collector_read_duration_seconds_bucket{kind=\"api\",le=\"+Inf\"}"], "1");

  // Prometheus' own reader of the format, with its lint: silent and 0 when all is well.
  std::ofstream(dir.File("scrape.txt"), std::ios::binary) << body;
  ToolResult checked = RunProgram({"/bin/sh", "-c", "exec \"$0\" check metrics < \"$1\"",
                                   VEXO_PROMTOOL, dir.File("scrape.txt")});
  EXPECT_EQ(checked.exitStatus, 0) << checked.out << checked.err;
  EXPECT_EQ(checked.out + checked.err, "");

  // Nothing else is served there.
  EXPECT_EQ(StatusOf(Get(metricsPort, "/")), 404);
  EXPECT_EQ(StatusOf(Get(metricsPort, "/metrics/")), 404);
  EXPECT_EQ(StatusOf(SendRaw(metricsPort, "POST /metrics HTTP/1.0\r\nContent-Length: 0\r\n\r\n")),
            404);
  EXPECT_EQ(server.StopWith(SIGTERM), 0);
}

}  // namespace
