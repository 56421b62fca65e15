// Connecting without waiting, on loopback: a connection under way completes once its handle is
// writable and then knows its local end; one to a port nobody listens on fails, at the start or
// at the finish. The wait for the outcome has a time-out.
#include <gtest/gtest.h>

#include <memory>

#include "platform/AsyncConnect.h"
#include "platform/EventPoller.h"
#include "platform/ServerSocket.h"
#include "platform/StreamSocket.h"

namespace {

constexpr int kTimeoutSeconds = 5;

class AsyncConnectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    listener = std::make_unique<ServerSocket>(0, "127.0.0.1", 5);
    ASSERT_TRUE(listener->open());
    listener->setReceiveTimeout(kTimeoutSeconds);
  }

  // Starts the socket's connection and waits for its outcome as the load generator does, on a
  // poller (Winsock reports a refused connection as an error, never as writable): finishConnect's
  // result, beginConnect's when it settles at once, or 0 when nothing is reported in time.
  int connectTo(StreamSocket& socket) {
    int started = beginConnect(socket);
    if (started != 0) return started;
    EventPoller poller;
    if (!poller.add(socket.handle, EventPoller::WRITABLE, nullptr)) return 0;
    EventPoller::Event event{};
    if (poller.wait(&event, 1, kTimeoutSeconds * 1000) != 1) return 0;
    return finishConnect(socket);
  }

  std::unique_ptr<ServerSocket> listener;
};

TEST_F(AsyncConnectTest, ConnectionCompletesWithItsLocalEndAndStaysNonBlocking) {
  StreamSocket client(listener->boundPort(), "127.0.0.1");
  ASSERT_EQ(connectTo(client), 1);
  EXPECT_NE(client.localPort, 0);
  EXPECT_STREQ(client.localAddress, "127.0.0.1");

  StreamSocket server(listener->accept(nullptr));
  ASSERT_GT(server.handle, 0);
  EXPECT_EQ(server.peerPort, client.localPort);
  char byte;
  EXPECT_EQ(client.receive(&byte, 1, 0), -1);  // nothing sent yet: fails at once
  ASSERT_EQ(client.send("x", 1, 0), 1);
  server.setReceiveTimeout(kTimeoutSeconds);
  EXPECT_EQ(server.receive(&byte, 1, 0), 1);
}

TEST_F(AsyncConnectTest, ConnectionFromAChosenLocalAddressUsesIt) {
  StreamSocket client(listener->boundPort(), "127.0.0.1", 0, "127.0.0.1");
  ASSERT_EQ(connectTo(client), 1);
  EXPECT_STREQ(client.localAddress, "127.0.0.1");
  EXPECT_NE(client.localPort, 0);
}

TEST_F(AsyncConnectTest, ConnectionToAPortNobodyListensOnFails) {
  std::uint16_t port = listener->boundPort();
  ASSERT_TRUE(listener->close());
  StreamSocket client(port, "127.0.0.1");
  EXPECT_EQ(connectTo(client), -1);
}

TEST_F(AsyncConnectTest, PeerThatIsNotADottedAddressFailsAtTheStart) {
  StreamSocket client(listener->boundPort(), "localhost");
  EXPECT_EQ(beginConnect(client), -1);
  EXPECT_NE(client.handle, INVALID_SOCKET_HANDLE);  // created, kept until closed
}

}  // namespace
