// Sending and receiving whole packets over real loopback connections: framing, pieces, closes
// and hostile lengths.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "SlotFixture.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class TransportTest : public SlotFixture {
 protected:
  // Receives on slot 0 in the background.
  std::future<std::int32_t> receiveLater(Packet& packet) {
    return std::async(std::launch::async,
                      [this, &packet] { return server.receivePacket(slot(0), &packet); });
  }
};

TEST_F(TransportTest, PacketWithoutPayloadIsExactly40Bytes) {
  WireClient& client = connect(0, "alice");
  Packet packet;
  std::memcpy(packet.type, "CONN", 4);
  EXPECT_EQ(server.sendPacket(slot(0), &packet, nullptr, -1), 40);
  std::string bytes;
  ASSERT_TRUE(client.readBytes(bytes, 40));
  EXPECT_EQ(bytes.substr(36, 4), std::string(4, '\0'));
  EXPECT_TRUE(client.silentFor(50ms));
}

TEST_F(TransportTest, TextPayloadEndsInTerminatorInsteadOfNul) {
  WireClient& client = connect(0, "alice");
  Packet packet;
  std::memcpy(packet.type, "MESS", 4);
  EXPECT_EQ(server.sendPacket(slot(0), &packet, "", -1), 41);
  EXPECT_EQ(server.sendPacket(slot(0), &packet, "hi", -1), 43);
  EXPECT_EQ(server.sendPacket(slot(0), &packet, "hidden", 3), 43);  // length counts the terminator
  Packet got;
  ASSERT_TRUE(client.readPacket(got));
  EXPECT_EQ(payloadOf(got), "\xFD");
  ASSERT_TRUE(client.readPacket(got));
  EXPECT_EQ(payloadOf(got), "hi\xFD");
  ASSERT_TRUE(client.readPacket(got));
  EXPECT_EQ(payloadOf(got), "hi\xFD");
}

TEST_F(TransportTest, PacketGivesUpItsPayloadAfterEverySend) {
  connect(0, "alice");
  Packet packet;
  std::memcpy(packet.type, "MESS", 4);
  EXPECT_GT(server.sendPacket(slot(0), &packet, "sent", -1), 0);
  EXPECT_EQ(packet.length, 0u);
  EXPECT_EQ(packet.payload, nullptr);
  EXPECT_EQ(std::string(packet.type, 4), "MESS");
  EXPECT_EQ(server.sendPacket(slot(1), &packet, "no socket", -1), -1);
  EXPECT_EQ(packet.length, 0u);
  EXPECT_EQ(packet.payload, nullptr);
}

TEST_F(TransportTest, OverlongTextIsCutToTheLargestPayload) {
  WireClient& client = connect(0, "alice");
  Packet packet;
  std::memcpy(packet.type, "MESS", 4);
  std::string text(2000, 'x');
  EXPECT_EQ(server.sendPacket(slot(0), &packet, text.c_str(), -1), 1024);
  Packet got;
  ASSERT_TRUE(client.readPacket(got));
  EXPECT_EQ(got.length, 984u);
  EXPECT_EQ(payloadOf(got), std::string(983, 'x') + "\xFD");
}

TEST_F(TransportTest, FailedSendShutsTheConnectionDown) {
  WireClient& client = connect(0, "alice");
  client.close();
  Packet packet;
  std::memcpy(packet.type, "MESS", 4);
  // The first send may still be taken by the kernel; a dead peer fails within a few.
  std::int32_t result = 0;
  for (int i = 0; i < 50 && result != -1; ++i) {
    result = server.sendPacket(slot(0), &packet, "anyone there?", -1);
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(result, -1);
  // Shut down: the worker's next receive ends at once instead of waiting.
  Packet in;
  EXPECT_EQ(server.receivePacket(slot(0), &in), -1);
}

TEST_F(TransportTest, ReadsPacketsOneAtATimeEvenWhenTheyArriveTogether) {
  WireClient& client = connect(0);
  ASSERT_TRUE(client.sendRaw(wireImage("MESS", "a", "one\xFD") + wireImage("QUIT", "a", "") +
                             wireImage("ERRO", "a", "three\xFD")));
  Packet packet;
  EXPECT_EQ(server.receivePacket(slot(0), &packet), 4);
  EXPECT_EQ(textOf(packet), "one");
  EXPECT_EQ(server.receivePacket(slot(0), &packet), 40);
  EXPECT_EQ(std::string(packet.type, 4), "QUIT");
  EXPECT_EQ(packet.payload, nullptr);
  EXPECT_EQ(server.receivePacket(slot(0), &packet), 6);
  EXPECT_EQ(textOf(packet), "three");
}

TEST_F(TransportTest, HeaderInTwoPiecesIsReadOnceWhole) {
  WireClient& client = connect(0);
  std::string wire = wireImage("MESS", "bob", "hello\xFD");
  Packet packet;
  auto received = receiveLater(packet);
  ASSERT_TRUE(client.sendRaw(wire.substr(0, 17)));
  EXPECT_EQ(received.wait_for(150ms), std::future_status::timeout);
  ASSERT_TRUE(client.sendRaw(wire.substr(17, 23)));
  EXPECT_EQ(received.wait_for(150ms), std::future_status::timeout);  // payload still missing
  ASSERT_TRUE(client.sendRaw(wire.substr(40)));
  ASSERT_EQ(received.wait_for(2s), std::future_status::ready);
  EXPECT_EQ(received.get(), 6);
  EXPECT_EQ(textOf(packet), "hello");
}

TEST_F(TransportTest, PayloadThatTricklesInIsAssembled) {
  WireClient& client = connect(0);
  std::string wire = wireImage("PRIV", "bob", std::string("alice\xFC", 6) + "slowly\xFD");
  Packet packet;
  auto received = receiveLater(packet);
  for (char byte : wire) {
    ASSERT_TRUE(client.sendRaw(std::string(1, byte)));
    std::this_thread::sleep_for(2ms);
  }
  ASSERT_EQ(received.wait_for(3s), std::future_status::ready);
  EXPECT_EQ(received.get(), 13);
  EXPECT_EQ(payloadOf(packet), std::string("alice\xFC", 6) + "slowly\xFD");
}

TEST_F(TransportTest, CloseBetweenPacketsEndsTheReceive) {
  WireClient& client = connect(0);
  ASSERT_TRUE(client.sendRaw(wireImage("MESS", "a", "last\xFD")));
  client.close();
  Packet packet;
  EXPECT_EQ(server.receivePacket(slot(0), &packet), 5);
  EXPECT_EQ(server.receivePacket(slot(0), &packet), -1);
}

TEST_F(TransportTest, CloseInTheMiddleOfAPacketEndsTheReceivePromptly) {
  WireClient& client = connect(0);
  Packet packet;
  auto received = receiveLater(packet);
  ASSERT_TRUE(client.sendRaw(wireImage("MESS", "a", "never finished\xFD").substr(0, 45)));
  EXPECT_EQ(received.wait_for(150ms), std::future_status::timeout);
  auto closed = Clock::now();
  client.close();
  ASSERT_EQ(received.wait_for(3s), std::future_status::ready);
  EXPECT_EQ(received.get(), -1);
  EXPECT_LT(Clock::now() - closed, 1s);
}

TEST_F(TransportTest, HalfAHeaderThenACloseEndsTheReceive) {
  WireClient& client = connect(0);
  ASSERT_TRUE(client.sendRaw(std::string("MES")));
  client.close();
  Packet packet;
  auto started = Clock::now();
  EXPECT_EQ(server.receivePacket(slot(0), &packet), -1);
  EXPECT_LT(Clock::now() - started, 1s);
}

TEST_F(TransportTest, OversizedLengthIsRefusedBeforeAnyPayloadArrives) {
  for (std::uint32_t length : {985u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    WireClient& client = connect(0);
    slot(0)->inboxLength = 0;
    std::string header = wireImage("MESS", "evil", "");
    header[36] = static_cast<char>(length >> 24);
    header[37] = static_cast<char>(length >> 16);
    header[38] = static_cast<char>(length >> 8);
    header[39] = static_cast<char>(length);
    ASSERT_TRUE(client.sendRaw(header));
    Packet packet;
    auto started = Clock::now();
    EXPECT_EQ(server.receivePacket(slot(0), &packet), -1) << length;
    EXPECT_LT(Clock::now() - started, 1s);
    delete slot(0)->socket;
    slot(0)->socket = nullptr;
  }
}

TEST_F(TransportTest, LargestPayloadIsAccepted) {
  WireClient& client = connect(0);
  std::string payload(983, 'y');
  payload += "\xFD";
  ASSERT_TRUE(client.sendRaw(wireImage("MESS", "big", payload)));
  Packet packet;
  EXPECT_EQ(server.receivePacket(slot(0), &packet), 984);
  EXPECT_EQ(payloadOf(packet), payload);
}

TEST_F(TransportTest, SendsToOneClientNeverInterleave) {
  WireClient& client = connect(0, "alice");
  constexpr int kThreads = 4;
  constexpr int kEach = 200;
  // Order is the point here, not the budget: all 290 KB may wait in the outbox when this reader
  // falls behind, which the default 256 KiB would end by giving the client up.
  server.transport.sendQueueBytes = 1024 * 1024;
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([this, t] {
      Packet packet;
      std::memcpy(packet.type, "MESS", 4);
      std::string text(100 + t * 150, static_cast<char>('a' + t));
      for (int i = 0; i < kEach; ++i) server.sendPacket(slot(0), &packet, text.c_str(), -1);
    });
  }
  int received = 0;
  Packet packet;
  while (received < kThreads * kEach && client.readPacket(packet)) {
    std::string text = textOf(packet);
    ASSERT_FALSE(text.empty());
    ASSERT_EQ(text, std::string(text.size(), text[0]));
    ASSERT_EQ(text.size(), 100u + (text[0] - 'a') * 150u);
    ++received;
  }
  for (auto& sender : senders) sender.join();
  EXPECT_EQ(received, kThreads * kEach);
}

// The outbox: packets queued per client and written in batches by whoever finds no write at
// work; a client that does not take them is given up alone.
class OutboxTest : public SlotFixture {
 protected:
  // Sends numbered packets to slot 0 from `senders` threads at once, as "<thread>:<number>".
  void sendNumbered(int senders, int each) {
    std::vector<std::thread> threads;
    for (int t = 0; t < senders; ++t) {
      threads.emplace_back([this, t, each] {
        Packet packet;
        std::memcpy(packet.type, "MESS", 4);
        for (int i = 0; i < each; ++i) {
          const std::string text = std::to_string(t) + ":" + std::to_string(i);
          server.sendPacket(slot(0), &packet, text.c_str(), -1);
        }
      });
    }
    for (auto& thread : threads) thread.join();
  }

  // Fills slot 0's client, which never reads, until its outbox holds bytes; false when the
  // connection was given up first or never filled.
  bool fillUntilQueued(const std::string& text) {
    Packet packet;
    std::memcpy(packet.type, "MESS", 4);
    for (int i = 0; i < 200000; ++i) {
      if (server.sendPacket(slot(0), &packet, text.c_str(), -1) < 0) return false;
      if (slot(0)->outboxBytes.load() > 0) return true;
    }
    return false;
  }
};

TEST_F(OutboxTest, PacketsFromManySendersArriveWholeAndEachSendersInOrder) {
  WireClient& client = connect(0, "alice");
  constexpr int kSenders = 8;
  constexpr int kEach = 400;
  std::thread sending([this] { sendNumbered(kSenders, kEach); });
  std::vector<int> next(kSenders, 0);
  int received = 0;
  Packet packet;
  while (received < kSenders * kEach && client.readPacket(packet)) {
    const std::string text = textOf(packet);
    const std::size_t colon = text.find(':');
    ASSERT_NE(colon, std::string::npos) << text;
    const int sender = std::stoi(text.substr(0, colon));
    ASSERT_GE(sender, 0);
    ASSERT_LT(sender, kSenders);
    ASSERT_EQ(std::stoi(text.substr(colon + 1)), next[sender]) << "from sender " << sender;
    ++next[sender];
    ++received;
  }
  sending.join();
  EXPECT_EQ(received, kSenders * kEach);
  EXPECT_TRUE(client.silentFor(50ms));
}

TEST_F(OutboxTest, ClientWithAFullOutboxIsGivenUpWhileOthersAreServedAtOnce) {
  server.transport.sendQueueBytes = 64 * 1024;
  WireClient& stalled = connect(0, "stalled");  // never reads
  stalled.socket().setReceiveBufferSize(4096);
  WireClient& reader = connect(1, "reader");
  const std::string text(900, 'q');
  Packet packet;
  std::memcpy(packet.type, "MESS", 4);
  auto slowest = Clock::duration::zero();
  int toReader = 0;
  bool givenUp = false;
  for (int i = 0; i < 100000 && !givenUp; ++i) {
    const auto begun = Clock::now();
    givenUp = server.sendPacket(slot(0), &packet, text.c_str(), -1) < 0;
    EXPECT_GT(server.sendPacket(slot(1), &packet, "next", -1), 0);
    ++toReader;
    slowest = std::max(slowest, Clock::now() - begun);
    // The reader takes its packet before the next round: a sender never waits for the
    // stalled client, so the reader's packets come at once.
    Packet got;
    ASSERT_TRUE(reader.readPacket(got, 2000ms)) << "packet " << toReader;
  }
  EXPECT_TRUE(givenUp);
  EXPECT_LT(slowest, 1s);  // generous: a blocking send would take the whole send budget
  // Shut down: its worker's next receive ends at once, and what was queued is gone.
  Packet in;
  EXPECT_EQ(server.receivePacket(slot(0), &in), -1);
  EXPECT_EQ(slot(0)->outboxBytes.load(), 0);
  EXPECT_GT(server.sendPacket(slot(1), &packet, "still served", -1), 0);
}

TEST_F(OutboxTest, QueuedPacketsReachAClientThatReadsLateThroughItsOwnWorker) {
  WireClient& late = connect(0, "late");
  // A small window on the server's side: a small one on the reader's would crawl on delayed
  // acknowledgements once it reads.
  slot(0)->socket->setSendBufferSize(4096);
  const std::string text(900, 'w');
  ASSERT_TRUE(fillUntilQueued(text));
  Packet last;
  std::memcpy(last.type, "MESS", 4);
  ASSERT_GT(server.sendPacket(slot(0), &last, "last", -1), 0);
  // Nobody sends to it any more: its own worker writes the rest as room comes.
  Packet incoming;
  auto worker = std::async(std::launch::async,
                           [this, &incoming] { return server.receivePacket(slot(0), &incoming); });
  Packet got;
  std::string lastText;
  while (lastText != "last" && late.readPacket(got, 5000ms)) {
    lastText = textOf(got);
    ASSERT_TRUE(lastText == "last" || lastText == text) << "a packet out of step";
  }
  EXPECT_EQ(lastText, "last");
  EXPECT_TRUE(late.send("MESS", "bye\xFD"));
  ASSERT_EQ(worker.wait_for(5s), std::future_status::ready);
  EXPECT_GT(worker.get(), 0);
}

TEST_F(OutboxTest, ClientThatTakesNothingForTheSendBudgetIsGivenUpByItsOwnWorker) {
  WireClient& stalled = connect(0, "stalled");  // never reads
  stalled.socket().setReceiveBufferSize(4096);
  slot(0)->socket->setSendBufferSize(4096);
  const std::string text(900, 's');
  ASSERT_TRUE(fillUntilQueued(text));
  // More than the socket's buffers could take later on, so that bytes stay queued.
  Packet packet;
  std::memcpy(packet.type, "MESS", 4);
  for (int i = 0; i < 64; ++i) ASSERT_GT(server.sendPacket(slot(0), &packet, text.c_str(), -1), 0);
  server.transport.sendTimeoutMilliseconds = 200;
  // Nobody sends to it any more: its worker keeps trying the queued bytes, finds that none has
  // left for the budget, and ends the connection.
  const auto begun = Clock::now();
  Packet incoming;
  EXPECT_EQ(server.receivePacket(slot(0), &incoming), -1);
  EXPECT_LT(Clock::now() - begun, 3s);
  EXPECT_EQ(slot(0)->outboxBytes.load(), 0);
}

TEST_F(OutboxTest, CorkedPacketsWaitForTheUncorkAndLeaveInOrder) {
  WireClient& client = connect(0, "alice");
  server.transport.cork(slot(0));
  Packet packet;
  std::memcpy(packet.type, "MESS", 4);
  EXPECT_GT(server.sendPacket(slot(0), &packet, "first", -1), 0);
  EXPECT_GT(server.sendPacket(slot(0), &packet, "second", -1), 0);
  EXPECT_TRUE(client.silentFor(50ms));
  EXPECT_EQ(server.transport.uncork(slot(0)), 0);
  Packet got;
  ASSERT_TRUE(client.readPacket(got));
  EXPECT_EQ(textOf(got), "first");
  ASSERT_TRUE(client.readPacket(got));
  EXPECT_EQ(textOf(got), "second");
  EXPECT_EQ(slot(0)->outboxBytes.load(), 0);
}

}  // namespace
