#include "front/listen.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace collector {

int ListenTcp(const std::string& host, int port, int backlog, const std::string& purpose,
              int* fd, std::string& error) {
  *fd = -1;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  std::string where = host + ":" + std::to_string(port);
  int status = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (status != 0) {
    error = "cannot listen" + purpose + " on " + where + ": " + gai_strerror(status);
    return -1;
  }
  int lastErrno = 0;
  for (addrinfo* ai = found; ai != nullptr && *fd < 0; ai = ai->ai_next) {
    int candidate = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (candidate < 0) {
      lastErrno = errno;
      continue;
    }
    // SO_REUSEADDR only: SO_REUSEPORT would let a second server share a taken port.
    int yes = 1;
    setsockopt(candidate, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    if (bind(candidate, ai->ai_addr, ai->ai_addrlen) != 0 || listen(candidate, backlog) != 0) {
      lastErrno = errno;
      close(candidate);
      continue;
    }
    *fd = candidate;
  }
  freeaddrinfo(found);
  if (*fd < 0) {
    error = "cannot listen" + purpose + " on " + where + ": " + std::strerror(lastErrno);
    return -1;
  }
  sockaddr_storage bound{};
  socklen_t length = sizeof(bound);
  getsockname(*fd, reinterpret_cast<sockaddr*>(&bound), &length);
  char service[NI_MAXSERV];
  getnameinfo(reinterpret_cast<sockaddr*>(&bound), length, nullptr, 0, service, sizeof(service),
              NI_NUMERICSERV);
  return std::atoi(service);
}

}  // namespace collector
