// The client never starts the socket library itself; the tests do, once per process.
#ifdef _WIN32

#include <gtest/gtest.h>

#include "http/net.h"

namespace {

class WinsockEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
  }
  void TearDown() override { WSACleanup(); }
};

::testing::Environment* const winsockEnvironment =
    ::testing::AddGlobalTestEnvironment(new WinsockEnvironment);

}  // namespace

#endif
