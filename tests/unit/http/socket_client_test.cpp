#include "http/socket_client.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>
#include <type_traits>

#include "http/http_post_request.h"
#include "http/http_test_access.h"
#include "tests/unit/http/loopback_server.h"
#include "tests/unit/http/test_support.h"

namespace {

#ifdef _WIN32
constexpr int kRefusedError = WSAECONNREFUSED;
#else
constexpr int kRefusedError = ECONNREFUSED;
#endif

// The byte offset of a virtual member function in its class's virtual table, as the Itanium C++
// ABI (GCC natively and MinGW alike) encodes it in a pointer to member: offset + 1.
template <typename Member>
std::ptrdiff_t SlotOf(Member member) {
  struct Representation {
    std::ptrdiff_t pointer;
    std::ptrdiff_t adjust;
  } representation;
  static_assert(sizeof(member) == sizeof(representation), "Itanium member pointer layout");
  std::memcpy(&representation, &member, sizeof(member));
  return (representation.pointer - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
}

TEST(AppendBytesTest, NothingToAddKeepsAnEmptyBufferNull) {
  char* block = nullptr;
  uint32_t count = 0;
  AppendBytes(block, count, "abc", 0);
  AppendBytes(block, count, nullptr, 3);
  EXPECT_EQ(nullptr, block);
  EXPECT_EQ(0u, count);
}

TEST(AppendBytesTest, AppendsInOrderWithFourZeroBytesAndRoomAfter) {
  char* block = nullptr;
  uint32_t count = 0;
  AppendBytes(block, count, "ab\0c", 4);
  AppendBytes(block, count, "xyz", 3);
  ASSERT_EQ(7u, count);
  EXPECT_EQ(std::string("ab\0cxyz", 7), std::string(block, count));
  for (int i = 0; i < 4; ++i) EXPECT_EQ('\0', block[count + i]);
  // The room after the data is usable: CR, LF and NUL are written there in place.
  std::memset(block + count, 'r', 32);
  delete[] block;
}

TEST(AppendBytesTest, SizeThatWouldWrapThirtyTwoBitsThrowsBadAlloc) {
  char small[4] = {'a', 'b', 'c', 'd'};
  char* block = nullptr;
  uint32_t count = UINT32_MAX - 40;  // only the count is consulted before the refusal
  EXPECT_THROW(AppendBytes(block, count, small, 9), std::bad_alloc);
  EXPECT_EQ(nullptr, block);
  EXPECT_EQ(UINT32_MAX - 40, count);
  count = 16;
  EXPECT_THROW(AppendBytes(block, count, small, UINT32_MAX - 20), std::bad_alloc);
}

TEST(SocketClientTest, HasExactlyTheFiveVirtualSlotsInOrder) {
  EXPECT_FALSE(std::has_virtual_destructor<SocketClient>::value);
  EXPECT_FALSE(std::has_virtual_destructor<HttpRequest>::value);
  EXPECT_EQ(0, SlotOf(&SocketClient::Close));
  EXPECT_EQ(1, SlotOf(&SocketClient::CloseSocket));
  EXPECT_EQ(2, SlotOf(&SocketClient::Reset));
  EXPECT_EQ(2, SlotOf(&HttpRequest::Reset));
  EXPECT_EQ(3, SlotOf(&HttpRequest::GetMethodName));
  EXPECT_EQ(4, SlotOf(&HttpRequest::FinishHead));
  EXPECT_EQ(2, SlotOf(&HttpPostRequest::Reset));
  EXPECT_EQ(3, SlotOf(&HttpPostRequest::GetMethodName));
  EXPECT_EQ(4, SlotOf(&HttpPostRequest::FinishHead));
}

TEST(SocketClientTest, ConstructionLeavesEverythingEmpty) {
  SocketClient client;
  EXPECT_EQ(INVALID_SOCKET, HttpTestAccess::Socket(client));
  EXPECT_FALSE(client.IsConnected());
  EXPECT_FALSE(HttpTestAccess::AddressSet(client));
  EXPECT_EQ(0, client.lastError);
  EXPECT_EQ(nullptr, client.Response());
  EXPECT_EQ(0u, client.ResponseLength());
  EXPECT_EQ(nullptr, HttpTestAccess::HostName(client));
  EXPECT_EQ(0, HttpTestAccess::Address(client).sin_family);
}

TEST(SocketClientTest, SetHostTakesDottedAddressAndChecksNameAndPort) {
  SocketClient client;
  ASSERT_EQ(kSocketOk, client.SetHost("127.0.0.1", 8080));
  const sockaddr_in& address = HttpTestAccess::Address(client);
  EXPECT_EQ(AF_INET, address.sin_family);
  EXPECT_EQ(htonl(0x7F000001), address.sin_addr.s_addr);
  EXPECT_EQ(htons(8080), address.sin_port);
  EXPECT_STREQ("127.0.0.1", HttpTestAccess::HostName(client));
  EXPECT_TRUE(HttpTestAccess::AddressSet(client));

  EXPECT_EQ(kSocketBadPort, client.SetHost("127.0.0.1", 0));
  EXPECT_EQ(kSocketBadPort, client.SetHost("127.0.0.1", 65535));
  EXPECT_FALSE(HttpTestAccess::AddressSet(client));
  EXPECT_EQ(kSocketOk, client.SetHost("127.0.0.1", 1));
  EXPECT_EQ(kSocketOk, client.SetHost("127.0.0.1", 65534));

  // An empty or missing name drops the usable address that an earlier call set.
  EXPECT_EQ(kSocketNoHostName, client.SetHost("", 80));
  EXPECT_FALSE(HttpTestAccess::AddressSet(client));
  EXPECT_EQ(kSocketNoAddress, client.Connect());
  EXPECT_EQ(kSocketNoHostName, client.SetHost(nullptr, 80));
  EXPECT_EQ(0, client.lastError);
}

TEST(SocketClientTest, SetHostResolvesANameAndReportsAnUnresolvableOne) {
  SocketClient client;
  ASSERT_EQ(kSocketOk, client.SetHost("localhost", 80));
  EXPECT_EQ(AF_INET, HttpTestAccess::Address(client).sin_family);
  EXPECT_EQ(127, ntohl(HttpTestAccess::Address(client).sin_addr.s_addr) >> 24);

  EXPECT_EQ(kSocketHostNotFound, client.SetHost("no-such-host.invalid", 80));
  EXPECT_NE(0, client.lastError);
  EXPECT_FALSE(HttpTestAccess::AddressSet(client));
  EXPECT_STREQ("no-such-host.invalid", HttpTestAccess::HostName(client));
}

TEST(SocketClientTest, CreateSocketRefusesASecondSocket) {
  SocketClient client;
  ASSERT_EQ(kSocketOk, client.CreateSocket());
  EXPECT_NE(INVALID_SOCKET, HttpTestAccess::Socket(client));
  EXPECT_EQ(kSocketAlreadyCreated, client.CreateSocket());
  client.CloseSocket();
  EXPECT_EQ(INVALID_SOCKET, HttpTestAccess::Socket(client));
}

TEST(SocketClientTest, RefusedConnectionSavesTheErrorAndClosesTheSocket) {
  SocketClient client;
  ASSERT_EQ(kSocketOk, client.SetHost("127.0.0.1", RefusedPort()));
  EXPECT_EQ(kSocketConnectFailed, client.Connect());
  EXPECT_EQ(kRefusedError, client.lastError);
  EXPECT_EQ(INVALID_SOCKET, HttpTestAccess::Socket(client));
  EXPECT_FALSE(client.IsConnected());
  EXPECT_TRUE(HttpTestAccess::AddressSet(client));
}

TEST(SocketClientTest, UnansweredConnectGivesUpAtTheLimit) {
  ScopedExchangeLimit limit(1500);
  // A listener whose accept queue is full leaves further connection requests unanswered.
  SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = inet_addr("127.0.0.1");
  NetSockLen length = sizeof(address);
  ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
  ASSERT_EQ(0, listen(listener, 0));
  ASSERT_EQ(0, getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length));
  SOCKET fillers[4];
  for (SOCKET& filler : fillers) {
    filler = socket(AF_INET, SOCK_STREAM, 0);
    NetSetBlocking(filler, false);
    connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  }

  SocketClient client;
  ASSERT_EQ(kSocketOk, client.SetHost("127.0.0.1", ntohs(address.sin_port)));
  Stopwatch stopwatch;
  EXPECT_EQ(kSocketConnectFailed, client.Connect());
  long long elapsed = stopwatch.ElapsedMs();
  EXPECT_EQ(kNetTimedOutError, client.lastError);
  EXPECT_EQ(INVALID_SOCKET, HttpTestAccess::Socket(client));
  EXPECT_GE(elapsed, 1400);
  EXPECT_LT(elapsed, 5000);
  for (SOCKET filler : fillers) closesocket(filler);
  closesocket(listener);
}

TEST(SocketClientTest, SendAllChecksTheConnectionFirst) {
  SocketClient client;
  EXPECT_EQ(kSocketNotConnected, client.SendAll(nullptr, 0));
  EXPECT_EQ(kSocketNotConnected, client.ReceiveOnce());

  LoopbackServer server;
  server.ReadBytes(3);
  server.Start();
  ASSERT_EQ(kSocketOk, client.SetHost("127.0.0.1", server.Port()));
  ASSERT_EQ(kSocketOk, client.Connect());
  EXPECT_EQ(kSocketAlreadyConnected, client.Connect());
  EXPECT_EQ(kSocketAlreadyConnected, client.SetHost("127.0.0.1", 80));
  EXPECT_TRUE(HttpTestAccess::AddressSet(client));  // still usable
  EXPECT_EQ(htons(server.Port()), HttpTestAccess::Address(client).sin_port);
  EXPECT_EQ(kSocketNoData, client.SendAll(nullptr, 5));
  EXPECT_EQ(kSocketNoData, client.SendAll("abc", 0));
  EXPECT_EQ(kSocketOk, client.SendAll("abc", -4));
  EXPECT_EQ(kSocketOk, client.SendAll("abc", 3));
  EXPECT_EQ("abc", server.Join());
}

TEST(SocketClientTest, ReceivesInArrivalOrderThenSeesTheCloseOnce) {
  LoopbackServer server;
  server.ReadBytes(4).Send("first ").Trickle("second", 1);
  server.Start();
  SocketClient client;
  ASSERT_EQ(kSocketOk, client.SetHost("127.0.0.1", server.Port()));
  ASSERT_EQ(kSocketOk, client.Connect());
  ASSERT_EQ(kSocketOk, client.SendAll("ping", 4));
  int code;
  while ((code = client.ReceiveOnce()) == kSocketOk) {
  }
  EXPECT_EQ(kSocketPeerClosed, code);
  EXPECT_EQ(0, client.lastError);
  EXPECT_EQ("first second", std::string(client.Response(), client.ResponseLength()));
  for (int i = 0; i < 4; ++i) EXPECT_EQ('\0', client.Response()[client.ResponseLength() + i]);
  EXPECT_FALSE(client.IsConnected());
  EXPECT_NE(INVALID_SOCKET, HttpTestAccess::Socket(client));  // open until CloseSocket
  EXPECT_EQ(kSocketNotConnected, client.ReceiveOnce());
  EXPECT_EQ(kSocketNotConnected, client.SendAll("x", 1));
  server.Join();

  client.Close();
  EXPECT_EQ(INVALID_SOCKET, HttpTestAccess::Socket(client));
  EXPECT_EQ(nullptr, client.Response());
  EXPECT_EQ(nullptr, HttpTestAccess::HostName(client));
  EXPECT_FALSE(HttpTestAccess::AddressSet(client));
  EXPECT_EQ(kSocketNoAddress, client.Connect());
}

TEST(SocketClientTest, LargeSendToASlowReaderArrivesWholeAndInOrder) {
  const std::string data = PatternBytes(6 << 20);
  LoopbackServer server;
  server.ReadInPieces(997);
  server.Start();
  SocketClient client;
  ASSERT_EQ(kSocketOk, client.SetHost("127.0.0.1", server.Port()));
  ASSERT_EQ(kSocketOk, client.Connect());
  EXPECT_EQ(kSocketOk, client.SendAll(data.data(), static_cast<int>(data.size())));
  client.CloseSocket();
  std::string received = server.Join();
  ASSERT_EQ(data.size(), received.size());
  EXPECT_TRUE(data == received);
}

TEST(SocketClientTest, SendToAPeerThatStopsReadingGivesUpAtTheLimit) {
  ScopedExchangeLimit limit(1500);
  const std::string data = PatternBytes(32 << 20);
  LoopbackServer server;
  server.ReadBytes(65536).HoldUntilReleased();
  server.Start();
  SocketClient client;
  ASSERT_EQ(kSocketOk, client.SetHost("127.0.0.1", server.Port()));
  ASSERT_EQ(kSocketOk, client.Connect());
  Stopwatch stopwatch;
  EXPECT_EQ(kSocketSendTimedOut, client.SendAll(data.data(), static_cast<int>(data.size())));
  long long elapsed = stopwatch.ElapsedMs();
  EXPECT_EQ(0, client.lastError);
  EXPECT_GE(elapsed, 1400);
  EXPECT_LT(elapsed, 6000);
  server.Release();
  client.CloseSocket();
  EXPECT_GE(server.Join().size(), 65536u);
}

TEST(SocketClientTest, ExchangeLimitDefaultsToSixtySeconds) {
  EXPECT_EQ(60000u, SocketClient::kExchangeTimeLimitMs);
  EXPECT_EQ(60000u, SocketClient::ExchangeTimeLimit());
  {
    ScopedExchangeLimit limit(250);
    EXPECT_EQ(250u, SocketClient::ExchangeTimeLimit());
  }
  EXPECT_EQ(60000u, SocketClient::ExchangeTimeLimit());
}

}  // namespace
