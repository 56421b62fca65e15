// The socket wrappers on loopback: listening, accepting and connecting, both ends' addresses,
// sends and receives (peeking too), closing and waking blocked calls, readiness waits and the
// socket options. Every socket that can block has a receive time-out.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "platform/Network.h"
#include "platform/ServerSocket.h"
#include "platform/StreamSocket.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTimeoutSeconds = 5;

long long millisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Opens a listener on 127.0.0.1 with a port the system chooses; a blocked accept gives up after
// the time-out.
std::unique_ptr<ServerSocket> openListener() {
  auto listener = std::make_unique<ServerSocket>(0, "127.0.0.1", 5);
  if (!listener->open()) return nullptr;
  listener->setReceiveTimeout(kTimeoutSeconds);
  return listener;
}

// Connects a client to 127.0.0.1:port; null when that fails.
std::unique_ptr<StreamSocket> connectTo(std::uint16_t port, const char* address = "127.0.0.1") {
  auto client = std::make_unique<StreamSocket>(port, address);
  if (!client->connect()) return nullptr;
  client->setReceiveTimeout(kTimeoutSeconds);
  client->setSendTimeout(kTimeoutSeconds);
  return client;
}

// Sends until a send fails, waiting a little between tries (a send to a peer that has gone
// fails once its reset has come back); the last result.
std::int32_t sendUntilFailure(StreamSocket& socket) {
  std::int32_t sent = 0;
  for (int attempt = 0; attempt < 200 && sent >= 0; ++attempt) {
    sent = socket.send("data", 4, 0);
    if (sent >= 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return sent;
}

class ServerSocketTest : public ::testing::Test {};

TEST_F(ServerSocketTest, ListenerOnLoopbackAcceptsAndReportsThePeerInNetworkOrder) {
  auto listener = openListener();
  ASSERT_NE(listener, nullptr);
  std::uint16_t port = listener->boundPort();
  ASSERT_NE(port, 0);
  EXPECT_STREQ(listener->localAddress, "127.0.0.1");

  auto client = connectTo(port);
  ASSERT_NE(client, nullptr);
  unsigned char peer[16];
  std::memset(peer, 0xAA, sizeof peer);
  SocketHandle accepted = listener->accept(peer);
  ASSERT_GT(accepted, 0);
  StreamSocket server(accepted);
  // The port sits in bytes 2 and 3, high byte first; the address is 127.0.0.1.
  EXPECT_EQ(peer[2] * 256 + peer[3], client->localPort);
  EXPECT_EQ(peer[4], 127);
  EXPECT_EQ(peer[7], 1);

  // The same, spelled as a port and a dotted address.
  auto second = connectTo(port);
  ASSERT_NE(second, nullptr);
  std::uint16_t peerPort = 0;
  char peerAddress[16];
  std::memset(peerAddress, 'x', sizeof peerAddress);
  SocketHandle next = listener->accept(&peerPort, peerAddress);
  ASSERT_GT(next, 0);
  StreamSocket nextServer(next);
  EXPECT_EQ(peerPort, second->localPort);
  EXPECT_STREQ(peerAddress, "127.0.0.1");
  EXPECT_EQ(peerPort, nextServer.peerPort);
}

TEST_F(ServerSocketTest, ListenerOnLoopbackRefusesAnotherLocalAddress) {
  auto listener = openListener();
  ASSERT_NE(listener, nullptr);
  EXPECT_EQ(connectTo(listener->boundPort(), "127.0.0.2"), nullptr);
}

TEST_F(ServerSocketTest, ListenerWithNoAddressAcceptsOnEveryInterface) {
  ServerSocket listener(0, 5);
  ASSERT_TRUE(listener.open());
  listener.setReceiveTimeout(kTimeoutSeconds);
  for (const char* address : {"127.0.0.1", "127.0.0.2"}) {
    auto client = connectTo(listener.boundPort(), address);
    ASSERT_NE(client, nullptr) << address;
    StreamSocket server(listener.accept(nullptr));
    EXPECT_STREQ(server.localAddress, address);
  }
}

TEST_F(ServerSocketTest, AcceptOnANeverOpenedOrClosedListenerReturnsZeroAtOnce) {
  ServerSocket neverOpened(0, "127.0.0.1", 5);
  auto start = Clock::now();
  EXPECT_EQ(neverOpened.accept(nullptr), 0);

  auto listener = openListener();
  ASSERT_NE(listener, nullptr);
  EXPECT_TRUE(listener->close());
  EXPECT_EQ(listener->accept(nullptr), 0);
  std::uint16_t peerPort = 1;
  char peerAddress[16] = "192.0.2.1";
  EXPECT_EQ(listener->accept(&peerPort, peerAddress), 0);
  EXPECT_EQ(peerPort, 0);
  EXPECT_STREQ(peerAddress, "");
  EXPECT_EQ(listener->boundPort(), 0);
  EXPECT_LT(millisecondsSince(start), 1000);
}

TEST_F(ServerSocketTest, ShutdownWakesAThreadBlockedInAccept) {
  auto listener = openListener();
  ASSERT_NE(listener, nullptr);
  std::atomic<bool> started{false};
  SocketHandle accepted = -1;
  std::thread acceptor([&] {
    started = true;
    accepted = listener->accept(nullptr);
  });
  while (!started.load()) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // let it block
  auto start = Clock::now();
  EXPECT_TRUE(listener->shutdownBoth());
  acceptor.join();
  EXPECT_EQ(accepted, 0);
  EXPECT_LT(millisecondsSince(start), kTimeoutSeconds * 1000 / 2);
}

TEST_F(ServerSocketTest, SecondListenerOnAPortInUseFailsToOpen) {
  auto listener = openListener();
  ASSERT_NE(listener, nullptr);
  ServerSocket second(listener->boundPort(), "127.0.0.1", 5);
  EXPECT_FALSE(second.open());
  EXPECT_NE(second.handle, INVALID_SOCKET_HANDLE);  // created, kept until closed
  EXPECT_TRUE(second.close());
}

TEST_F(ServerSocketTest, PortCanBeOpenedAgainRightAfterAListenerWithConnectionsCloses) {
  auto listener = openListener();
  ASSERT_NE(listener, nullptr);
  std::uint16_t port = listener->boundPort();
  auto client = connectTo(port);
  ASSERT_NE(client, nullptr);
  {
    StreamSocket server(listener->accept(nullptr));
    ASSERT_NE(server.handle, INVALID_SOCKET_HANDLE);
    ASSERT_EQ(server.send("bye", 3, 0), 3);
  }  // the server side closes first and keeps the connection's port in TIME_WAIT
  char buffer[8];
  EXPECT_EQ(client->receive(buffer, sizeof buffer, 0), 3);
  EXPECT_EQ(client->receive(buffer, sizeof buffer, 0), 0);
  client.reset();
  EXPECT_TRUE(listener->close());

  ServerSocket again(port, "127.0.0.1", 5);
  EXPECT_TRUE(again.open());
}

TEST_F(ServerSocketTest, CloseTwiceClosesOnceAndThenFails) {
  auto listener = openListener();
  ASSERT_NE(listener, nullptr);
  EXPECT_TRUE(listener->close());
  EXPECT_EQ(listener->handle, INVALID_SOCKET_HANDLE);
  EXPECT_FALSE(listener->close());
}

// A closed object forgets its descriptor: the system may give the number to a new socket, which
// the old object's destructor must leave alone.
TEST_F(ServerSocketTest, DestroyingAClosedSocketLeavesAReusedDescriptorAlone) {
  auto first = openListener();
  ASSERT_NE(first, nullptr);
  SocketHandle number = first->handle;
  EXPECT_TRUE(first->close());
  auto second = openListener();
  ASSERT_NE(second, nullptr);
  ASSERT_EQ(second->handle, number);
  first.reset();
  EXPECT_NE(second->boundPort(), 0);
  EXPECT_TRUE(second->close());
}

// What shutdownBoth marks belongs to the handle it gave up: the same object opened again
// accepts as a new one would.
TEST_F(ServerSocketTest, ListenerGivenUpClosedAndOpenedAgainAcceptsAgain) {
  auto listener = openListener();
  ASSERT_NE(listener, nullptr);
  ASSERT_TRUE(listener->setNonBlocking());
  ASSERT_TRUE(listener->shutdownBoth());
  ASSERT_TRUE(listener->close());
  ASSERT_TRUE(listener->open());
  listener->setReceiveTimeout(kTimeoutSeconds);
  auto client = connectTo(listener->boundPort());
  ASSERT_NE(client, nullptr);
  SocketHandle accepted = listener->accept(nullptr);
  EXPECT_GT(accepted, 0);
  StreamSocket server(accepted);
}

TEST_F(ServerSocketTest, AddressTextIsCutToFifteenCharacters) {
  ServerSocket listener(0, "12345678901234567890", 5);
  EXPECT_STREQ(listener.localAddress, "123456789012345");
  listener.setLocalAddress("abcdefghijklmnopqrst");
  EXPECT_STREQ(listener.localAddress, "abcdefghijklmno");
}

TEST_F(ServerSocketTest, GetLocalAddressCutsToTheBufferAndTerminates) {
  ServerSocket listener(0, "192.168.100.200", 5);
  char buffer[8];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(listener.getLocalAddress(buffer, sizeof buffer), buffer);
  EXPECT_EQ(std::string(buffer, sizeof buffer), std::string("192.168\0", 8));
  char whole[16];
  EXPECT_STREQ(listener.getLocalAddress(whole, sizeof whole), "192.168.100.200");
}

TEST_F(ServerSocketTest, GetLocalAddressResolvesThisMachineWhenEmptyAndKeepsIt) {
  ServerSocket listener(0, 5);
  char buffer[16];
  listener.getLocalAddress(buffer, sizeof buffer);
  // Empty only when this machine's name does not resolve: then the listener stays on every
  // address.
  char own[16] = "";
  EXPECT_STREQ(buffer, resolveOwnAddress(own) ? own : "");
  EXPECT_STREQ(listener.localAddress, buffer);
}

// A connected pair on loopback: client (connected by StreamSocket::connect) and server (adopted
// from the listener's accept).
class StreamSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    listener = openListener();
    ASSERT_NE(listener, nullptr);
    client = connectTo(listener->boundPort());
    ASSERT_NE(client, nullptr);
    SocketHandle accepted = listener->accept(nullptr);
    ASSERT_GT(accepted, 0);
    server = std::make_unique<StreamSocket>(accepted);
    server->setReceiveTimeout(kTimeoutSeconds);
    server->setSendTimeout(kTimeoutSeconds);
  }

  std::unique_ptr<ServerSocket> listener;
  std::unique_ptr<StreamSocket> client;
  std::unique_ptr<StreamSocket> server;
};

TEST_F(StreamSocketTest, AdoptedHandleKnowsBothEnds) {
  EXPECT_EQ(server->localPort, listener->boundPort());
  EXPECT_STREQ(server->localAddress, "127.0.0.1");
  EXPECT_EQ(server->peerPort, client->localPort);
  EXPECT_NE(server->peerPort, 0);
  EXPECT_STREQ(server->peerAddress, "127.0.0.1");
  char buffer[16];
  EXPECT_STREQ(server->getPeerAddress(buffer, sizeof buffer), "127.0.0.1");
}

TEST_F(StreamSocketTest, AdoptedHandleWithoutInternetEndsKeepsThemEmptyAndStillCarriesBytes) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no socketpair: a pair of sockets without internet ends would be "
                  "local sockets on a file, which not every Windows has";
#else
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  StreamSocket first(pair[0]);
  StreamSocket second(pair[1]);
  EXPECT_EQ(first.peerPort, 0);
  EXPECT_STREQ(first.peerAddress, "");
  EXPECT_EQ(first.localPort, 0);
  EXPECT_STREQ(first.localAddress, "");
  second.setReceiveTimeout(kTimeoutSeconds);
  ASSERT_EQ(first.send("abc", 3, 0), 3);
  char buffer[4] = {};
  EXPECT_EQ(second.receive(buffer, 3, 0), 3);
  EXPECT_STREQ(buffer, "abc");
#endif
}

TEST_F(StreamSocketTest, PeerAddressIsCutToFifteenAndCopiedWhole) {
  StreamSocket socket(5412, "12345678901234567890");
  EXPECT_STREQ(socket.peerAddress, "123456789012345");
  socket.setPeerAddress("192.168.100.200");
  char buffer[16];
  std::memset(buffer, 'x', sizeof buffer);
  socket.getPeerAddress(buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer, sizeof buffer), std::string("192.168.100.200\0", 16));
}

TEST_F(StreamSocketTest, BytesSentArriveAndAPeekConsumesNothing) {
  ASSERT_EQ(client->send("hello", 5, 0), 5);
  char buffer[8] = {};
  ASSERT_TRUE(server->waitReadable(kTimeoutSeconds, 0));
  EXPECT_EQ(server->receive(buffer, 5, StreamSocket::PEEK), 5);
  EXPECT_STREQ(buffer, "hello");
  std::memset(buffer, 0, sizeof buffer);
  EXPECT_EQ(server->receive(buffer, 5, 0), 5);
  EXPECT_STREQ(buffer, "hello");
  EXPECT_FALSE(server->waitReadable(0, 0));  // the peek left nothing behind
}

TEST_F(StreamSocketTest, ReceiveReturnsZeroAfterThePeerCloses) {
  EXPECT_TRUE(client->close());
  EXPECT_FALSE(client->close());
  char buffer[8];
  EXPECT_EQ(server->receive(buffer, sizeof buffer, 0), 0);
}

TEST_F(StreamSocketTest, DestroyingAnOpenSocketClosesIt) {
  client.reset();
  char buffer[8];
  EXPECT_EQ(server->receive(buffer, sizeof buffer, 0), 0);
}

TEST_F(StreamSocketTest, ShutdownWakesABlockedReceive) {
  std::atomic<bool> started{false};
  std::int32_t received = 1;
  std::thread receiver([&] {
    char buffer[8];
    started = true;
    received = server->receive(buffer, sizeof buffer, 0);
  });
  while (!started.load()) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // let it block
  auto start = Clock::now();
  EXPECT_TRUE(server->shutdownBoth());
  receiver.join();
  EXPECT_LE(received, 0);
  EXPECT_LT(millisecondsSince(start), kTimeoutSeconds * 1000 / 2);
  EXPECT_EQ(server->send("x", 1, 0), -1);
}

TEST_F(StreamSocketTest, WaitReadableWithNoTimeDoesNotBlockAndSeesArrivedData) {
  auto start = Clock::now();
  EXPECT_FALSE(server->waitReadable(0, 0));
  EXPECT_LT(millisecondsSince(start), 100);
  start = Clock::now();
  EXPECT_FALSE(server->waitReadable(0, 50000));
  EXPECT_GE(millisecondsSince(start), 45);
  ASSERT_EQ(client->send("x", 1, 0), 1);
  EXPECT_TRUE(server->waitReadable(kTimeoutSeconds, 0));
  EXPECT_TRUE(server->waitReadable(0, 0));
  EXPECT_TRUE(client->waitWritable(0, 0));
}

TEST_F(StreamSocketTest, WaitForDataTellsDataFromTimeOutFromAClosedPeer) {
  EXPECT_EQ(server->waitForData(30), 0);
  ASSERT_EQ(client->send("ab", 2, 0), 2);
  EXPECT_EQ(server->waitForData(kTimeoutSeconds * 1000), 1);
  client.reset();
  // Unread bytes come first, even though the peer has gone.
  char buffer[4];
  EXPECT_EQ(server->waitForData(kTimeoutSeconds * 1000), 1);
  EXPECT_EQ(server->receive(buffer, 1, 0), 1);
  EXPECT_EQ(server->waitForData(kTimeoutSeconds * 1000), 1);
  EXPECT_EQ(server->receive(buffer, 1, 0), 1);
  EXPECT_EQ(server->waitForData(kTimeoutSeconds * 1000), -1);
}

TEST_F(StreamSocketTest, SendToAPeerThatHasGoneFailsWithoutEndingTheProcess) {
#ifdef _WIN32
  // No signal on Windows: the send only has to fail.
  server.reset();
  EXPECT_EQ(sendUntilFailure(*client), -1);
#else
  // The default action of the signal ends the process; the send itself must not raise it.
  auto previous = std::signal(SIGPIPE, SIG_DFL);
  server.reset();
  EXPECT_EQ(sendUntilFailure(*client), -1);
  std::signal(SIGPIPE, previous);
#endif
}

TEST_F(StreamSocketTest, NonBlockingReceiveWithNoDataFailsAtOnceAndBlockingComesBack) {
  ASSERT_TRUE(server->setNonBlocking());
  char buffer[8];
  auto start = Clock::now();
  EXPECT_EQ(server->receive(buffer, sizeof buffer, 0), -1);
  EXPECT_LT(millisecondsSince(start), 1000);

  ASSERT_TRUE(server->setBlocking());
  std::atomic<bool> started{false};
  std::int32_t received = 0;
  std::thread receiver([&] {
    started = true;
    received = server->receive(buffer, sizeof buffer, 0);
  });
  while (!started.load()) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  ASSERT_EQ(client->send("late", 4, 0), 4);
  receiver.join();
  EXPECT_EQ(received, 4);  // it waited for the bytes instead of failing
}

// A socket made non-blocking and given up, then closed and connected again, is blocking and
// open again: its receive waits for bytes that come late.
TEST_F(StreamSocketTest, SocketGivenUpClosedAndConnectedAgainWaitsForBytes) {
  ASSERT_TRUE(client->setNonBlocking());
  ASSERT_TRUE(client->shutdownBoth());
  ASSERT_TRUE(client->close());
  client->localPort = 0;  // the old connection's port is still taken
  ASSERT_TRUE(client->connect());
  client->setReceiveTimeout(kTimeoutSeconds);
  StreamSocket again(listener->accept(nullptr));
  ASSERT_NE(again.handle, 0);
  std::atomic<bool> started{false};
  std::int32_t received = 0;
  char buffer[8];
  std::thread receiver([&] {
    started = true;
    received = client->receive(buffer, sizeof buffer, 0);
  });
  while (!started.load()) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(again.send("late", 4, 0), 4);
  receiver.join();
  EXPECT_EQ(received, 4);
}

TEST_F(StreamSocketTest, OptionSettersAndGettersRoundTrip) {
  EXPECT_TRUE(server->setReceiveTimeout(3));
  EXPECT_EQ(server->getReceiveTimeout(), 3);
  EXPECT_TRUE(server->setSendTimeout(4));
  EXPECT_EQ(server->getSendTimeout(), 4);

  // The system may grant more buffer than asked for (Linux doubles it).
  EXPECT_TRUE(server->setReceiveBufferSize(32768));
  EXPECT_GE(server->getReceiveBufferSize(), 32768);
  EXPECT_TRUE(server->setSendBufferSize(32768));
  EXPECT_GE(server->getSendBufferSize(), 32768);

#ifdef _WIN32
  // The Windows stack has no low-water marks: it refuses the option.
  EXPECT_FALSE(server->setReceiveLowWater(10));
#else
  EXPECT_TRUE(server->setReceiveLowWater(10));
  EXPECT_EQ(server->getReceiveLowWater(), 10);
  EXPECT_GE(server->getSendLowWater(), 1);
#endif

  EXPECT_TRUE(server->setLinger(1, 7));
  linger lingering{};
  int length = sizeof lingering;
  ASSERT_TRUE(server->getOption(SOL_SOCKET, SO_LINGER, &lingering, &length));
  EXPECT_NE(lingering.l_onoff, 0);
  EXPECT_EQ(lingering.l_linger, 7);

  int value = 0;
  length = sizeof value;
  EXPECT_TRUE(server->setNoDelay(1));
  ASSERT_TRUE(server->getOption(IPPROTO_TCP, TCP_NODELAY, &value, &length));
  EXPECT_NE(value, 0);
  EXPECT_TRUE(server->setNoDelay(0));
  ASSERT_TRUE(server->getOption(IPPROTO_TCP, TCP_NODELAY, &value, &length));
  EXPECT_EQ(value, 0);

  EXPECT_TRUE(server->setKeepAlive(1));
  ASSERT_TRUE(server->getOption(SOL_SOCKET, SO_KEEPALIVE, &value, &length));
  EXPECT_NE(value, 0);
  EXPECT_TRUE(server->setKeepAlive(0));
  ASSERT_TRUE(server->getOption(SOL_SOCKET, SO_KEEPALIVE, &value, &length));
  EXPECT_EQ(value, 0);
}

TEST_F(StreamSocketTest, OptionsOnAClosedSocketFail) {
  StreamSocket closed;
  EXPECT_FALSE(closed.setReceiveTimeout(1));
  EXPECT_FALSE(closed.setKeepAlive(1));
  EXPECT_FALSE(closed.setNonBlocking());
  EXPECT_EQ(closed.getReceiveTimeout(), -1);
  EXPECT_EQ(closed.getReceiveBufferSize(), -1);
  EXPECT_FALSE(closed.waitReadable(0, 0));
  EXPECT_EQ(closed.waitForData(0), -1);
  char buffer[4];
  EXPECT_EQ(closed.receive(buffer, sizeof buffer, 0), -1);
  EXPECT_EQ(closed.send("x", 1, 0), -1);
}

TEST_F(StreamSocketTest, ConnectToAPortNobodyListensOnFails) {
  auto unused = openListener();
  ASSERT_NE(unused, nullptr);
  std::uint16_t port = unused->boundPort();
  unused.reset();
  StreamSocket socket(port, "127.0.0.1");
  EXPECT_FALSE(socket.connect());
  EXPECT_NE(socket.handle, INVALID_SOCKET_HANDLE);  // created, kept until closed
}

}  // namespace
