#include "collector_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "pack/pak_archive.h"

namespace collector_test {
namespace {

constexpr int kReceiveTimeoutSeconds = 60;

std::vector<char*> ArgvOf(std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (std::string& arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  return argv;
}

int DecodeWaitStatus(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

int WaitFor(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      return -1;
    }
  }
  return DecodeWaitStatus(status);
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "collector-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) != nullptr) {
    path_ = pattern;
  }
}

TempDir::~TempDir() {
  if (!path_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
}

CollectorProcess::~CollectorProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    WaitChild();
  }
}

int CollectorProcess::WaitChild() {
  exitStatus_ = WaitFor(pid_);
  pid_ = -1;
  return exitStatus_;
}

bool CollectorProcess::Start(const std::vector<std::string>& serveArgs,
                             const std::string& stderrFile, int extraLines) {
  firstLine_.clear();
  laterLines_.clear();
  port_ = -1;
  exitStatus_ = -1;
  std::vector<std::string> args{COLLECTOR_PATH, "serve"};
  args.insert(args.end(), serveArgs.begin(), serveArgs.end());
  std::vector<char*> argv = ArgvOf(args);
  int outPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) {
    return false;
  }
  int errFd = open(stderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(outPipe[1], STDOUT_FILENO);
    if (errFd >= 0) {
      dup2(errFd, STDERR_FILENO);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  if (errFd >= 0) {
    close(errFd);
  }
  if (pid_ < 0) {
    close(outPipe[0]);
    return false;
  }
  // The first line, byte by byte so that nothing after it is consumed; end of file means the
  // child has gone.
  auto readLine = [&outPipe](std::string& line) {
    char c = 0;
    while (true) {
      ssize_t n = read(outPipe[0], &c, 1);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0 || c == '\n') {
        return n > 0;
      }
      line += c;
    }
  };
  bool more = readLine(firstLine_);
  for (int i = 0; i < extraLines && more; ++i) {
    laterLines_.emplace_back();
    more = readLine(laterLines_.back());
  }
  close(outPipe[0]);
  const std::string prefix = "listening 127.0.0.1:";
  if (firstLine_.compare(0, prefix.size(), prefix) != 0) {
    WaitChild();
    return false;
  }
  port_ = std::atoi(firstLine_.c_str() + prefix.size());
  return port_ > 0;
}

int CollectorProcess::StopWith(int signalNumber) {
  if (pid_ <= 0) {
    return exitStatus_;
  }
  kill(pid_, signalNumber);
  return WaitChild();
}

ToolResult RunCollector(const std::vector<std::string>& toolArgs) {
  std::vector<std::string> args{COLLECTOR_PATH};
  args.insert(args.end(), toolArgs.begin(), toolArgs.end());
  return RunProgram(args);
}

ToolResult RunProgram(std::vector<std::string> args) {
  std::vector<char*> argv = ArgvOf(args);
  ToolResult result;
  int outPipe[2];
  int errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) {
    return result;
  }
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return result;
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(outPipe[1], STDOUT_FILENO);
    dup2(errPipe[1], STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  if (pid > 0) {
    // Both pipes at once, so a tool that fills one of them never blocks.
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) {
          continue;
        }
        break;
      }
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) {
          continue;
        }
        char buffer[8192];
        ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
        if (n > 0) {
          sinks[i]->append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
          fds[i].fd = -1;
          --open;
        }
      }
    }
    result.exitStatus = WaitFor(pid);
  }
  close(outPipe[0]);
  close(errPipe[0]);
  return result;
}

int ConnectTo(int port) {
  int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0) {
    return -1;
  }
  timeval timeout{kReceiveTimeoutSeconds, 0};
  setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(sock);
    return -1;
  }
  return sock;
}

bool SendAll(int sock, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(sock, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::string ReceiveAll(int sock) {
  std::string out;
  char buffer[8192];
  for (;;) {
    ssize_t n = recv(sock, buffer, sizeof(buffer), 0);
    if (n > 0) {
      out.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      return out;
    }
  }
}

std::string SendRaw(int port, const std::string& request) {
  int sock = ConnectTo(port);
  if (sock < 0) {
    return std::string();
  }
  std::string response;
  // A server that answers early (413) may reset the rest of the send; the answer still counts.
  SendAll(sock, request);
  response = ReceiveAll(sock);
  close(sock);
  return response;
}

std::string BuildUploadRequest(const std::string& path, const std::string& boundary,
                               const std::string& ver, const std::string& fileBytes,
                               const std::string& fileName) {
  std::string body =
      "--" + boundary + "\r\nContent-Disposition: form-data; name=\"ver\"\r\n\r\n" + ver + "\r\n";
  body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" +
          fileName + "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
  body += fileBytes;
  body += "\r\n--" + boundary + "--\r\n\r\n";
  std::string head = "POST " + path + " HTTP/1.0\r\n";
  head += "HOST: 127.0.0.1\r\n";
  head += "Accept: */*\r\n";
  head += "Pragma: no-cache\r\n";
  head += "Cache-Control: no-cache\r\n";
  head += "Content-Type: multipart/form-data; boundary=" + boundary + "\r\n";
  head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  head += "Connection: close\r\n\r\n";
  return head + body;
}

int AcceptQueueLength(int port) {
  std::ifstream table("/proc/net/tcp");
  char local[32];
  std::snprintf(local, sizeof(local), "0100007F:%04X", static_cast<unsigned>(port));
  std::string line;
  std::getline(table, line);  // column titles
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, localAddress, remoteAddress, state, queues;
    fields >> slot >> localAddress >> remoteAddress >> state >> queues;
    // State 0A is LISTEN; there the receive queue counts connections not yet accepted.
    if (localAddress == local && state == "0A") {
      size_t colon = queues.find(':');
      return colon == std::string::npos
                 ? -1
                 : static_cast<int>(std::stoul(queues.substr(colon + 1), nullptr, 16));
    }
  }
  return -1;
}

int StatusOf(const std::string& response) {
  if (response.compare(0, 5, "HTTP/") != 0) {
    return 0;
  }
  size_t space = response.find(' ');
  if (space == std::string::npos) {
    return 0;
  }
  return std::atoi(response.c_str() + space + 1);
}

std::string BodyOf(const std::string& response) {
  size_t end = response.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : response.substr(end + 4);
}

std::string PackLog(const std::string& log) { return PackEntries({{"log.txt", log}}); }

std::string PackEntries(const std::vector<std::pair<std::string, std::string>>& entries) {
  PakArchive archive;
  for (const auto& [name, bytes] : entries) {
    archive.AddEntry(name.c_str(), reinterpret_cast<const unsigned char*>(bytes.data()),
                     static_cast<uint32_t>(bytes.size()));
  }
  uint32_t size = 0;
  unsigned char* image = archive.Build(&size);
  return image == nullptr ? std::string() : std::string(reinterpret_cast<char*>(image), size);
}

std::string PostgresBase() {
  const char* base = std::getenv("COLLECTOR_TEST_PG");
  return base != nullptr ? base : "";
}

std::string PostgresExec(const std::string& uri, const std::string& sql) {
  PGconn* conn = PQconnectdb(uri.c_str());
  std::string error;
  if (PQstatus(conn) != CONNECTION_OK) {
    error = PQerrorMessage(conn);
  } else {
    PGresult* result = PQexec(conn, sql.c_str());
    if (PQresultStatus(result) != PGRES_COMMAND_OK && PQresultStatus(result) != PGRES_TUPLES_OK) {
      error = PQresultErrorMessage(result);
    }
    PQclear(result);
  }
  PQfinish(conn);
  return error;
}

std::string NewPostgresDatabase(std::string& error) {
  static std::atomic<int> counter{0};
  std::string base = PostgresBase();
  const std::string prefix = "postgresql:///postgres?";
  if (base.rfind(prefix, 0) != 0) {
    error = "COLLECTOR_TEST_PG is not of the form " + prefix + "...: " + base;
    return "";
  }
  std::string name = "store_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
  error = PostgresExec(base, "CREATE DATABASE " + name);
  if (!error.empty()) {
    return "";
  }
  return "postgresql:///" + name + "?" + base.substr(prefix.size());
}

}  // namespace collector_test
