// Uploads one report of N MiB (default 40) as the crash dialog does, to a loopback server that
// reads and discards it, and prints the time taken and the process's peak memory.
// Usage: http_upload_bench [MiB]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "http/http_post_request.h"

namespace {

long PeakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Reads a request, discarding its body, and answers 200.
void Serve(SOCKET listener, size_t* received) {
  SOCKET peer = accept(listener, nullptr, nullptr);
  std::string head;
  char block[65536];
  size_t total = 0;
  size_t expected = SIZE_MAX;
  for (;;) {
    int got = recv(peer, block, sizeof(block), 0);
    if (got <= 0) break;
    total += static_cast<size_t>(got);
    if (expected == SIZE_MAX) {
      head.append(block, static_cast<size_t>(got));
      size_t end = head.find("\r\n\r\n");
      if (end != std::string::npos) {
        size_t at = head.find("Content-Length: ");
        expected = end + 4 + std::strtoul(head.c_str() + at + 16, nullptr, 10);
      }
    }
    if (total >= expected) break;
  }
  const char answer[] = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
  send(peer, answer, sizeof(answer) - 1, kNetSendFlags);
  closesocket(peer);
  *received = total;
}

}  // namespace

int main(int argc, char** argv) {
  size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 40;
  std::string payload(mebibytes << 20, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>((i * 131) >> 3);
  long baselineKiB = PeakRssKiB();

  SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = inet_addr("127.0.0.1");
  NetSockLen length = sizeof(address);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("listen");
    return 1;
  }
  size_t received = 0;
  std::thread server(Serve, listener, &received);
  std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/upload";

  auto start = std::chrono::steady_clock::now();
  int status;
  {
    HttpPostRequest request;
    if (request.OpenUrl(url.c_str(), kHttpPost) != 0 || request.AddFormField("ver", "1.0.1") != 0 ||
        request.AddFile("file", "log.pak", payload.data(), static_cast<unsigned>(payload.size())) !=
            0) {
      std::fprintf(stderr, "request could not be built\n");
      return 1;
    }
    request.SendAndClose();
    status = request.statusCode;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  server.join();
  closesocket(listener);

  std::printf("payload %zu MiB, status %d, server received %zu bytes\n", mebibytes, status,
              received);
  std::printf("upload time %.3f s (%.1f MiB/s)\n", seconds, mebibytes / seconds);
  std::printf("peak RSS %ld KiB, of which payload and start-up %ld KiB; upload added %ld KiB\n",
              PeakRssKiB(), baselineKiB, PeakRssKiB() - baselineKiB);
  return status == 200 ? 0 : 1;
}
