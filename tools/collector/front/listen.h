#pragma once

#include <string>

namespace collector {

// Binds and listens on HOST:PORT (port 0: any free one), the first address the name gives that
// works. Returns the bound port with the socket in *fd, or -1 with error set to "cannot listen"
// + purpose + " on HOST:PORT: why".
int ListenTcp(const std::string& host, int port, int backlog, const std::string& purpose,
              int* fd, std::string& error);

}  // namespace collector
