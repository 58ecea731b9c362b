#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace collector_test {

// A private directory removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The collector binary running "serve" as a child process.
class CollectorProcess {
 public:
  CollectorProcess() = default;
  ~CollectorProcess();
  CollectorProcess(const CollectorProcess&) = delete;
  CollectorProcess& operator=(const CollectorProcess&) = delete;

  // Starts "collector serve ARGS" and reads its first stdout line. True when the line named
  // the bound port; otherwise the child has been waited for and exitStatus says how it ended.
  // The extraLines lines that follow the first (such as "metrics HOST:PORT") are read too, into
  // laterLines.
  bool Start(const std::vector<std::string>& serveArgs, const std::string& stderrFile,
             int extraLines = 0);

  // Sends the signal and waits for the child. Returns the exit status, or -1 when the child
  // did not exit normally (killed by a signal, crashed).
  int StopWith(int signalNumber);

  int port() const { return port_; }
  const std::string& firstLine() const { return firstLine_; }
  const std::vector<std::string>& laterLines() const { return laterLines_; }
  int exitStatus() const { return exitStatus_; }

 private:
  int WaitChild();

  pid_t pid_ = -1;
  int port_ = -1;
  int exitStatus_ = -1;
  std::string firstLine_;
  std::vector<std::string> laterLines_;
};

struct ToolResult {
  int exitStatus = -1;  // -1 when the tool did not exit normally
  std::string out;      // stdout bytes, unchanged
  std::string err;
};

// Runs the collector binary with the arguments and collects its output.
ToolResult RunCollector(const std::vector<std::string>& args);

// Runs any program (args[0] is its path) and collects its output.
ToolResult RunProgram(std::vector<std::string> args);

// Connects to 127.0.0.1:port, writes the bytes and reads until the server closes.
std::string SendRaw(int port, const std::string& request);

// A connected socket to 127.0.0.1:port, or -1.
int ConnectTo(int port);
bool SendAll(int sock, const std::string& bytes);
std::string ReceiveAll(int sock);

// The request bytes exactly as the crash library writes them: HTTP/1.0, "HOST:" in capitals,
// the fixed headers, the multipart body with the text field "ver" and the file part "file".
std::string BuildUploadRequest(const std::string& path, const std::string& boundary,
                               const std::string& ver, const std::string& fileBytes,
                               const std::string& fileName = "log.pak");

// How many connections wait in the accept queue of the listening socket on 127.0.0.1:port
// (from /proc/net/tcp), or -1 when there is no such socket.
int AcceptQueueLength(int port);

// The status code of a raw response ("HTTP/1.x NNN ..."), or 0.
int StatusOf(const std::string& response);
// The body of a raw response (after the empty line).
std::string BodyOf(const std::string& response);

// A PAKF image with one entry "log.txt", built by the product's archive code.
std::string PackLog(const std::string& log);

// A PAKF image with these entries (name, bytes) in this order.
std::string PackEntries(const std::vector<std::pair<std::string, std::string>>& entries);

// PostgreSQL for the store tests: COLLECTOR_TEST_PG, set by tests/pg_cluster.py, names a
// server's postgres database (postgresql:///postgres?host=...). Empty when not set.
std::string PostgresBase();

// Creates a fresh, empty database on that server and returns its URI; "" with error set when
// that fails.
std::string NewPostgresDatabase(std::string& error);

// Runs one SQL statement there as the server's superuser; "" on success, else the error.
std::string PostgresExec(const std::string& uri, const std::string& sql);

}  // namespace collector_test
