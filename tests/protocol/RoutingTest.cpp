// What a logged-in client's packets do, against the real service on loopback: routed packets
// reach their recipients as the sender wrote them but for the sender fields, which carry the
// session's name and address whatever the header claimed; undeliverable names come back to
// the session that sent them; and everything meant for the operator is printed and logged.
//
// Ordering: one worker handles one client's packets in turn, so after any packet a client can
// send a PRIV to "everyone" as a barrier; whatever the first packet caused reached every
// socket before the barrier did, and a client whose next packet is the barrier got nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ServiceFixture.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

const std::string kNotConnected = "  User is not connected";

// A packet as an honest client at 127.0.0.1 sends it: its own name and address in the header.
std::string honest(const std::string& type, const std::string& name, const std::string& payload) {
  return wireImage(type, name, payload, 0, "127.0.0.1");
}

class RoutingTest : public ServiceFixture {
 protected:
  void SetUp() override { ASSERT_TRUE(startService()); }

  // Logs name in and waits until every client, the new one included, has read what the login
  // caused: the new user's worker announces it to the others before it routes its first
  // packet, so its own "everyone" packet arrives after the announcements.
  WireClient& join(const std::string& name) {
    auto client = login(name);
    EXPECT_TRUE(client) << name;
    if (!client) throw std::runtime_error("could not log in " + name);
    clients_.push_back(std::move(client));
    const std::string marker = "everyone\xFC"s + "joined " + name + "\xFD";
    EXPECT_TRUE(clients_.back()->send("PRIV", marker, name));
    for (auto& each : clients_) {
      Packet packet;
      bool found = false;
      while (!found && each->skipTo("PRIV", packet)) found = payloadOf(packet) == marker;
      EXPECT_TRUE(found) << "the join of " << name << " never settled";
    }
    return *clients_.back();
  }

  // The sender routes a barrier to everyone; every logged-in client's next packet must be it.
  void expectNothingElseAfter(WireClient& sender, const std::string& senderName) {
    const std::string marker = "everyone\xFC"s + "barrier " + std::to_string(++barriers_) + "\xFD";
    ASSERT_TRUE(sender.send("PRIV", marker, senderName));
    for (std::size_t i = 0; i < clients_.size(); ++i) {
      Packet packet;
      ASSERT_TRUE(clients_[i]->readPacket(packet)) << "client " << i;
      EXPECT_EQ(std::string(packet.type, 4) + ":" + payloadOf(packet), "PRIV:" + marker)
          << "client " << i << " received something before the barrier";
    }
  }

  // The messages of the error log, without "ERROR: " and the time stamp.
  std::vector<std::string> loggedErrors() {
    std::vector<std::string> messages;
    const std::string log = dir.read(".servererrors");
    std::size_t at = 0;
    while (at < log.size()) {
      std::size_t end = log.find('\n', at);
      if (end == std::string::npos) end = log.size();
      std::string line = log.substr(at, end - at);
      std::size_t stamp = line.rfind("\tAT: ");
      if (line.rfind("ERROR: ", 0) == 0 && stamp != std::string::npos) {
        messages.push_back(line.substr(7, stamp - 7));
      } else {
        messages.push_back("(malformed) " + line);
      }
      at = end + 1;
    }
    return messages;
  }

  bool waitForLogged(std::size_t count) {
    return waitUntil([&] { return loggedErrors().size() >= count; }, 3s);
  }

  // Sends one raw packet from the client and expects exactly one report with this text: on the
  // console (nothing else printed) and as the next error-log entry.
  void expectReported(WireClient& client, const std::string& image, const std::string& text) {
    const std::size_t before = loggedErrors().size();
    testing::internal::CaptureStdout();
    ASSERT_TRUE(client.sendRaw(image));
    bool logged = waitForLogged(before + 1);
    std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(logged) << "no report for: " << text;
    EXPECT_EQ(printed, text + "\n");
    std::vector<std::string> errors = loggedErrors();
    ASSERT_EQ(errors.size(), before + 1);
    EXPECT_EQ(errors.back(), text);
  }

  std::vector<std::unique_ptr<WireClient>> clients_;
  int barriers_ = 0;
};

TEST_F(RoutingTest, RoutedPacketsCarryTheSessionsNameAndAddressWhateverTheHeaderClaims) {
  WireClient& alice = join("alice");
  WireClient& bob = join("bob");
  WireClient& carol = join("carol");
  for (const char* type : {"PRIV", "MAIL", "GRAP"}) {
    for (const std::string& recipients : {"bob\xFF" "carol"s, "everyone"s}) {
      // A header that lies (another user's name, another host) and a body with every byte that
      // means something elsewhere in the protocol: the body, the type, the time stamp and the
      // sequence arrive as sent, the sender fields as the server knows them.
      const std::string payload = recipients + "\xFC" "body \x01\x00\xFE\xFF\xFC bytes\xFD"s;
      ASSERT_TRUE(alice.sendRaw(wireImage(type, "carol", payload, 12345, "10.9.8.7", 0xDEADBEEF)));
      const std::string stamped = wireImage(type, "alice", payload, 12345, "127.0.0.1", 0xDEADBEEF);
      std::vector<WireClient*> reached = {&bob, &carol};
      if (recipients == "everyone") reached.push_back(&alice);
      for (WireClient* recipient : reached) {
        std::string bytes;
        ASSERT_TRUE(recipient->readBytes(bytes, stamped.size())) << type;
        EXPECT_EQ(bytes, stamped) << type << " to " << recipients;
      }
      expectNothingElseAfter(alice, "alice");
    }
  }
}

TEST_F(RoutingTest, ALongNameIsStampedAsItsFirstEightBytes) {
  WireClient& bob = join("bob");
  WireClient& longer = join("tenletters");
  const std::string payload = "bob\xFC" "hi\xFD";
  ASSERT_TRUE(longer.sendRaw(wireImage("PRIV", "", payload)));
  std::string bytes;
  ASSERT_TRUE(bob.readBytes(bytes, HEADER_SIZE + payload.size()));
  EXPECT_EQ(bytes, honest("PRIV", "tenlette", payload));
  expectNothingElseAfter(longer, "tenletters");
}

TEST_F(RoutingTest, SeparatorsMayBeMixedRepeatedAndComeFirst) {
  WireClient& alice = join("alice");
  WireClient& bob = join("bob");
  WireClient& carol = join("carol");
  const std::string image =
      honest("PRIV", "alice", "\xFE" "bob\xFE\xFF\xFF" "carol\xFE\xFC" "hi\xFD");
  ASSERT_TRUE(alice.sendRaw(image));
  for (WireClient* recipient : {&bob, &carol}) {
    std::string bytes;
    ASSERT_TRUE(recipient->readBytes(bytes, image.size()));
    EXPECT_EQ(bytes, image);
  }
  expectNothingElseAfter(alice, "alice");
  EXPECT_TRUE(loggedErrors().empty());
}

TEST_F(RoutingTest, NameGivenTwiceIsDeliveredTwiceAndSenderMayNameItself) {
  WireClient& alice = join("alice");
  WireClient& bob = join("bob");
  const std::string image = honest("PRIV", "alice", "bob\xFF" "alice\xFE" "bob\xFC" "hi\xFD");
  ASSERT_TRUE(alice.sendRaw(image));
  std::string bytes;
  ASSERT_TRUE(bob.readBytes(bytes, 2 * image.size()));
  EXPECT_EQ(bytes, image + image);
  ASSERT_TRUE(alice.readBytes(bytes, image.size()));
  EXPECT_EQ(bytes, image);
  expectNothingElseAfter(alice, "alice");
}

TEST_F(RoutingTest, EveryoneFirstReachesEveryLoggedInUserOnceAndIgnoresLaterNames) {
  WireClient& alice = join("alice");
  join("bob");
  join("carol");
  // Connected but not logged in: no user yet, so nothing routed reaches it.
  auto stranger = connectClient();
  ASSERT_TRUE(stranger);
  EXPECT_EQ(stranger->next(), "HELO");
  EXPECT_EQ(stranger->next(), "LEVL:1");

  const std::string image = honest("PRIV", "alice", "everyone\xFF" "bob\xFF" "nobody\xFC" "hi\xFD");
  ASSERT_TRUE(alice.sendRaw(image));
  for (auto& client : clients_) {
    std::string bytes;
    ASSERT_TRUE(client->readBytes(bytes, image.size()));
    EXPECT_EQ(bytes, image);
  }
  expectNothingElseAfter(alice, "alice");  // bob got it once, nobody's notice never came
  EXPECT_TRUE(stranger->silentFor(50ms));
  EXPECT_TRUE(loggedErrors().empty());
}

TEST_F(RoutingTest, EveryoneInALaterPositionIsAnUnknownName) {
  WireClient& alice = join("alice");
  WireClient& bob = join("bob");
  const std::string image = honest("PRIV", "alice", "bob\xFF" "everyone\xFC" "hi\xFD");
  ASSERT_TRUE(alice.sendRaw(image));
  std::string bytes;
  ASSERT_TRUE(bob.readBytes(bytes, image.size()));
  EXPECT_EQ(bytes, image);
  EXPECT_EQ(alice.next(), "MESS:Could not deliver message to everyone." + kNotConnected);
  expectNothingElseAfter(alice, "alice");
}

TEST_F(RoutingTest, UnknownRecipientIsReportedToTheSendingSessionOnly) {
  join("bob");
  WireClient& eight = join("abcdefgh");  // fills the name field: no NUL after it
  WireClient& longer = join("longername");  // more than the header can hold
  std::size_t logged = 0;
  for (const char* type : {"PRIV", "MAIL"}) {
    for (auto [sender, senderName] : {std::pair{&eight, "abcdefgh"}, std::pair{&longer, "longername"}}) {
      // The header names bob: he must not hear of a message he never sent.
      for (const char* claimed : {"bob", senderName}) {
        testing::internal::CaptureStdout();
        ASSERT_TRUE(sender->send(type, "nobody\xFC" "hi\xFD", claimed));
        Packet notice;
        bool received = sender->readPacket(notice);
        std::string printed = testing::internal::GetCapturedStdout();
        ASSERT_TRUE(received) << type << " " << senderName;
        EXPECT_EQ(std::string(notice.type, 4), "MESS");
        EXPECT_EQ(payloadOf(notice), "Could not deliver message to nobody." + kNotConnected + "\xFD");
        EXPECT_EQ(std::string(notice.senderName, 8), std::string(8, '\0'));
        EXPECT_EQ(std::string(notice.senderHost, 16), std::string(16, '\0'));
        expectNothingElseAfter(*sender, senderName);
        EXPECT_EQ(printed, "");
        std::vector<std::string> errors = loggedErrors();
        ASSERT_EQ(errors.size(), ++logged);
        EXPECT_EQ(errors.back(), "Could not deliver message to nobody." + kNotConnected);
      }
    }
  }
}

TEST_F(RoutingTest, OverlongUnknownNameIsCutInTheNotice) {
  WireClient& alice = join("alice");
  const std::string name(400, 'n');
  ASSERT_TRUE(alice.send("PRIV", name + "\xFC" "hi\xFD", "alice"));
  const std::string expected = ("Could not deliver message to " + name).substr(0, 255);
  EXPECT_EQ(alice.next(), "MESS:" + expected);
  expectNothingElseAfter(alice, "alice");
  std::vector<std::string> errors = loggedErrors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], expected);
}

TEST_F(RoutingTest, UnknownRecipientOfGrapLeavesNoTrace) {
  WireClient& alice = join("alice");
  join("bob");
  testing::internal::CaptureStdout();
  ASSERT_TRUE(alice.send("GRAP", "nobody\xFC" "hi\xFD", "alice"));
  expectNothingElseAfter(alice, "alice");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(loggedErrors().empty());
}

TEST_F(RoutingTest, PayloadWithoutRecipientListIsReportedAndDeliveredToNobody) {
  WireClient& alice = join("alice");
  join("bob");
  const std::vector<std::string> payloads = {
      "bob hello\xFD",                 // no RECIPIENTS_END
      "",                              // no payload at all
      "\xFC" "bob\xFD",                // an empty list
      "\xFF\xFE\xFF\xFC" "bob\xFD",    // separators only
      "bob\0\xFC" "hello\xFD"s,        // a NUL before the list ends
  };
  for (const char* type : {"PRIV", "MAIL", "GRAP"}) {
    for (const std::string& payload : payloads) {
      SCOPED_TRACE(std::string(type) + " with payload of " + std::to_string(payload.size()));
      // The report names the session's user and address, not the header's claims.
      expectReported(alice, wireImage(type, "Zed", payload, 7, "10.9.8.7"),
                     "Internal Error: Error routing message from alice@127.0.0.1");
    }
  }
  expectNothingElseAfter(alice, "alice");
}

TEST_F(RoutingTest, MessagesAndErrorsForTheOperatorArePrintedAndLogged) {
  WireClient& alice = join("alice");
  join("bob");
  const std::string who = "alice@127.0.0.1";
  expectReported(alice, wireImage("MESS", "Zed", "hello there\xFD"),
                 "Client Message: " + who + " sent message: hello there.");
  expectReported(alice, wireImage("MESS", "alice", ""),
                 "Client Message: " + who + " sent message: No message specified.");
  expectReported(alice, wireImage("MESS", "alice", "\xFD"),
                 "Client Message: " + who + " sent message: .");
  expectReported(alice, wireImage("MESS", "alice", "up to\0 here\xFD"s),
                 "Client Message: " + who + " sent message: up to.");
  expectReported(alice, wireImage("ERRO", "alice", "disk full\xFD"),
                 "Client Error Message: " + who + " encountered error: disk full.");
  expectReported(alice, wireImage("ERRO", "alice", ""),
                 "Client Error Message: " + who + " encountered error: No error specified.");
  // Neither goes back to the client or to anyone else.
  expectNothingElseAfter(alice, "alice");
}

TEST_F(RoutingTest, ServerOnlyTypesAreSessionErrorsAndTheClientStaysConnected) {
  WireClient& alice = join("alice");
  for (const char* type : {"HELO", "USER", "CONN", "MCST", "SYID", "LEVL", "GONE", "MGRP", "LERR"}) {
    expectReported(alice, wireImage(type, "alice", "x\xFD"),
                   "Session Error: alice@127.0.0.1 sent packet of type " + std::string(type) + ".");
  }
  expectNothingElseAfter(alice, "alice");
  EXPECT_TRUE(isLoggedIn("alice"));
}

TEST_F(RoutingTest, UnknownTypeIsReportedAndTheSessionGoesOn) {
  WireClient& alice = join("alice");
  expectReported(alice, wireImage("ABCD", "alice", "x\xFD"), "Internal Error: Unknown packet type.");
  expectReported(alice, wireImage("mess", "alice", "x\xFD"), "Internal Error: Unknown packet type.");
  expectReported(alice, wireImage("", "alice", ""), "Internal Error: Unknown packet type.");
  expectNothingElseAfter(alice, "alice");
}

TEST_F(RoutingTest, ControlCharactersInClientTextAreShownAsQuestionMarks) {
  WireClient& alice = join("alice");
  expectReported(alice, wireImage("MESS", "alice", "a\x1b[2Jb\x7f\tc\r\n\xFD"),
                 "Client Message: alice@127.0.0.1 sent message: a?[2Jb??c??.");
  expectReported(alice, wireImage("ERRO", "alice", "\x07" "bell\xFD"),
                 "Client Error Message: alice@127.0.0.1 encountered error: ?bell.");
}

TEST_F(RoutingTest, OverlongClientTextIsCutToOneReportLine) {
  WireClient& alice = join("alice");
  const std::string text(900, 'y');
  const std::string line = "Client Message: alice@127.0.0.1 sent message: " + text + ".";
  expectReported(alice, wireImage("MESS", "alice", text + "\xFD"), line.substr(0, 255));
  expectNothingElseAfter(alice, "alice");
}

TEST_F(RoutingTest, BurstsFromManySendersArriveCompleteAndInEachSendersOrder) {
  // Each sender writes its packets twenty at a time, so that one read brings many, and sends to
  // one user and to everyone alike: what one read routes leaves in batches, some written by
  // the sender's worker and some by the flusher, and none may be lost, doubled or reordered.
  constexpr int kSenders = 5;
  constexpr int kBursts = 15;
  constexpr int kBurst = 20;
  WireClient& target = join("target");
  std::vector<WireClient*> senders;
  for (int s = 0; s < kSenders; ++s) senders.push_back(&join("s" + std::to_string(s)));

  std::vector<std::thread> threads;
  for (int s = 0; s < kSenders; ++s) {
    threads.emplace_back([&senders, s] {
      const std::string name = "s" + std::to_string(s);
      int number = 0;
      for (int b = 0; b < kBursts; ++b) {
        std::string burst;
        for (int i = 0; i < kBurst; ++i, ++number) {
          const std::string to = i % 5 == 4 ? "everyone" : "target";
          burst += honest("PRIV", name, to + "\xFC" + name + ":" + std::to_string(number) + "\xFD");
        }
        if (!senders[s]->sendRaw(burst)) return;
      }
    });
  }
  // The target gets every packet of every sender, each sender's in the order sent.
  std::map<std::string, int> next;
  const int total = kSenders * kBursts * kBurst;
  int received = 0;
  Packet packet;
  while (received < total && target.readPacket(packet)) {
    const std::string payload = payloadOf(packet);
    const std::size_t text = payload.find('\xFC') + 1;
    const std::size_t colon = payload.find(':', text);
    ASSERT_NE(colon, std::string::npos) << payload;
    const std::string from = payload.substr(text, colon - text);
    EXPECT_EQ(payload.substr(colon + 1), std::to_string(next[from]) + "\xFD") << "from " << from;
    ++next[from];
    ++received;
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(received, total);
  // Every sender gets every sender's "everyone" packets, in order, and nothing else.
  for (int s = 0; s < kSenders; ++s) {
    std::map<std::string, int> seen;
    for (int i = 0; i < kSenders * kBursts * kBurst / 5; ++i) {
      ASSERT_TRUE(senders[s]->readPacket(packet)) << "s" << s << " after " << i;
      const std::string payload = payloadOf(packet);
      ASSERT_EQ(payload.rfind("everyone\xFC", 0), 0u) << payload;
      const std::size_t colon = payload.find(':');
      const std::string from = payload.substr(9, colon - 9);
      EXPECT_EQ(payload.substr(colon + 1), std::to_string(seen[from] * 5 + 4) + "\xFD");
      ++seen[from];
    }
  }
  expectNothingElseAfter(target, "target");
}

}  // namespace
