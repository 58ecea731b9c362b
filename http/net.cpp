#include "http/net.h"

NetTransport::~NetTransport() = default;

#ifdef _WIN32

int NetTransport::Start() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data);
}

void NetTransport::Stop() { WSACleanup(); }

#else

int NetTransport::Start() { return 0; }

void NetTransport::Stop() {}

#endif
