#pragma once

// Reaches the client's fields for tests and fuzz targets; the product never includes it.

#include <cstdint>
#include <string>

#include "http/http_post_request.h"

class HttpTestAccess {
 public:
  static SOCKET Socket(const SocketClient& client) { return client.socketHandle; }
  static bool AddressSet(const SocketClient& client) { return client.addressSet != 0; }
  static const sockaddr_in& Address(const SocketClient& client) { return client.address; }
  static const char* HostName(const SocketClient& client) { return client.hostName; }
  static const char* ResponseBlock(const SocketClient& client) { return client.response; }

  // Feeds bytes into the response buffer as a receive would.
  static void Feed(SocketClient& client, const void* bytes, uint32_t count) {
    AppendBytes(client.response, client.responseLength, bytes, count);
  }

  static const char* Path(const HttpRequest& request) { return request.path; }
  static int Kind(const HttpRequest& request) { return request.kind; }
  static int State(const HttpRequest& request) { return request.state; }
  static uint32_t HeadLength(const HttpRequest& request) { return request.headLength; }
  // Lets a test make the next append too large for 32 bits without allocating 4 GiB.
  static void SetHeadLength(HttpRequest& request, uint32_t length) { request.headLength = length; }
  static void SetBodyLength(HttpPostRequest& request, uint32_t length) {
    request.bodyLength = length;
  }
  static std::string Head(const HttpRequest& request) {
    return request.head != nullptr ? std::string(request.head, request.headLength) : std::string();
  }

  static std::string Body(const HttpPostRequest& request) {
    return request.body != nullptr ? std::string(request.body, request.bodyLength) : std::string();
  }
  static const char* BodyBlock(const HttpPostRequest& request) { return request.body; }
};
