// msgclient's side of the wire: the payloads it builds and reads, the user list, the lines it
// shows for them, and whole packets out of a byte stream.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Connection.h"
#include "Renderer.h"
#include "Roster.h"
#include "RoutedPayload.h"
#include "WireClient.h"
#include "platform/ServerSocket.h"

namespace {

using msgclient::Connection;
using msgclient::Renderer;
using msgclient::Roster;
using msgclient::RosterEntry;
using msgclient::RoutedMessage;
using msgclient::RoutedPayload;

const unsigned char* bytesOf(const std::string& text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

class RoutedPayloadTest : public ::testing::Test {};

TEST_F(RoutedPayloadTest, NamesBodyAndTerminatorAreLaidOutAsTheServerRoutesThem) {
  std::string payload;
  ASSERT_TRUE(RoutedPayload::build({"alice", "bob"}, "hi", &payload));
  EXPECT_EQ(payload,
            "alice\xFF"
            "bob\xFC"
            "hi\xFD");
}

TEST_F(RoutedPayloadTest, APayloadOverTheLimitIsNotBuilt) {
  std::string payload = "untouched";
  // 3 + 1 + body + 1 bytes: 979 fits exactly, 980 does not.
  EXPECT_TRUE(RoutedPayload::build({"bob"}, std::string(979, 'x'), &payload));
  EXPECT_EQ(payload.size(), MAX_PAYLOAD_SIZE);
  payload = "untouched";
  EXPECT_FALSE(RoutedPayload::build({"bob"}, std::string(980, 'x'), &payload));
  EXPECT_EQ(payload, "untouched");
  EXPECT_EQ(RoutedPayload::sizeOf({"bob"}, std::string(980, 'x')), 985u);
}

TEST_F(RoutedPayloadTest, AReceivedBodyMayHoldAnyByteAndLosesOnlyItsTerminator) {
  const std::string payload = std::string(
                                  "\xFE"
                                  "bob\xFF\xFF"
                                  "eve\xFC"
                                  "a\xFC\xFD"
                                  "b\x00",
                                  15) +
                              "\xFD";
  RoutedMessage message;
  ASSERT_TRUE(RoutedPayload::parse(bytesOf(payload), payload.size(), &message));
  EXPECT_EQ(message.recipients, (std::vector<std::string>{"bob", "eve"}));
  EXPECT_EQ(message.body, std::string("a\xFC\xFD"
                                      "b\x00",
                                      5));
}

TEST_F(RoutedPayloadTest, APayloadWithoutARecipientListIsNotAMessage) {
  RoutedMessage message;
  const std::string noEnd = "bob hello\xFD";
  EXPECT_FALSE(RoutedPayload::parse(bytesOf(noEnd), noEnd.size(), &message));
  const std::string nulFirst = std::string(
      "bob\0\xFC"
      "x\xFD",
      7);
  EXPECT_FALSE(RoutedPayload::parse(bytesOf(nulFirst), nulFirst.size(), &message));
}

class RosterTest : public ::testing::Test {};

TEST_F(RosterTest, AListInSeveralPartsBuildsOneRoster) {
  Roster roster;
  const std::string first =
      "bob\xFF"
      "10.0.0.2\xFF"
      "Bob B\xFF"
      "100\xFE"
      "carol\xFF"
      "10.0.0.3\xFF"
      "UNAVAILABLE\xFF"
      "200\xFD";
  const std::string last =
      "alan\xFF"
      "10.0.0.4\xFF\xFF"
      "300\xFD";
  roster.add(Roster::parse(bytesOf(first), first.size()));
  roster.add(Roster::parse(bytesOf(last), last.size()));
  const auto entries = roster.snapshot();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, "alan");
  EXPECT_EQ(entries[0].fullName, "");
  EXPECT_EQ(entries[1].name, "bob");
  EXPECT_EQ(entries[1].host, "10.0.0.2");
  EXPECT_EQ(entries[1].fullName, "Bob B");
  EXPECT_EQ(entries[1].since, 100);
  EXPECT_EQ(entries[2].name, "carol");
}

TEST_F(RosterTest, ANameHoldingAFieldSeparatorKeepsTheFixedFieldsInPlace) {
  const std::string entry =
      "a\xFF"
      "b\xFF"
      "10.0.0.9\xFF"
      "Full\xFF"
      "42\xFD";
  const auto entries = Roster::parse(bytesOf(entry), entry.size());
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name,
            "a\xFF"
            "b");
  EXPECT_EQ(entries[0].host, "10.0.0.9");
  EXPECT_EQ(entries[0].since, 42);
}

TEST_F(RosterTest, AnEmptyListAndShortEntriesAddNobody) {
  EXPECT_TRUE(Roster::parse(nullptr, 0).empty());
  const std::string shortEntry =
      "bob\xFF"
      "10.0.0.2\xFD";
  EXPECT_TRUE(Roster::parse(bytesOf(shortEntry), shortEntry.size()).empty());
}

TEST_F(RosterTest, AJoinReplacesAKnownNameAndALeaveRemovesIt) {
  Roster roster;
  roster.add({RosterEntry{"bob", "10.0.0.2", "Bob", 1}});
  roster.add({RosterEntry{"bob", "10.0.0.5", "Bob", 2}});
  ASSERT_EQ(roster.snapshot().size(), 1u);
  EXPECT_EQ(roster.snapshot()[0].host, "10.0.0.5");
  EXPECT_TRUE(roster.remove("bob"));
  EXPECT_FALSE(roster.remove("bob"));
}

class RendererTest : public ::testing::Test {};

TEST_F(RendererTest, AMessageLineNamesSenderAndKindAndEscapesTheBody) {
  const char sender[8] = {'a', 'l', 'i', 'c', 'e'};
  RoutedMessage message{{"bob"}, "hi \x1b[2J"};
  std::string line = Renderer::message("PRIV", sender, message, 0);
  EXPECT_EQ(line.substr(line.find(']')), "] alice (private): hi \\x1b[2J");
  message.recipients = {"everyone"};
  EXPECT_NE(Renderer::message("PRIV", sender, message, 0).find("(everyone): "), std::string::npos);
  EXPECT_NE(Renderer::message("MAIL", sender, message, 0).find("(mail to everyone): "),
            std::string::npos);
}

TEST_F(RendererTest, AGrapBodyIsShownAsItsSize) {
  const char sender[8] = {'a', 'l'};
  RoutedMessage message{{"bob"}, std::string("\x00\x01\x02\x1b", 4)};
  std::string line = Renderer::message("GRAP", sender, message, 0);
  EXPECT_EQ(line.substr(line.find(']')), "] al (GRAP): 4 bytes");
}

TEST_F(RendererTest, ANoticeLosesItsTerminatorAndAHostileNameIsEscaped) {
  const std::string notice = "Verified host 127.0.0.1.\xFD";
  EXPECT_EQ(Renderer::notice(bytesOf(notice), notice.size()), "*** Verified host 127.0.0.1.");
  EXPECT_EQ(Renderer::left("\x1b]0;owned\x07"), "*** \\x1b]0;owned\\x07 left");
  EXPECT_EQ(Renderer::joined(RosterEntry{"bob", "10.0.0.2", "UNAVAILABLE", 0}),
            "*** bob joined from 10.0.0.2");
}

// The client's connection against a hand-driven server end on loopback.
class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(listener.open());
    ASSERT_TRUE(connection.open("127.0.0.1", listener.boundPort()));
    SocketHandle accepted = listener.accept(nullptr);
    ASSERT_NE(accepted, 0);
    server = std::make_unique<StreamSocket>(accepted);
    server->setReceiveTimeout(5);
  }

  void serverSends(const std::string& bytes) {
    ASSERT_EQ(server->send(bytes.data(), static_cast<std::int32_t>(bytes.size()), 0),
              static_cast<std::int32_t>(bytes.size()));
  }

  ServerSocket listener{0, "127.0.0.1", 4};
  Connection connection;
  std::unique_ptr<StreamSocket> server;
};

TEST_F(ConnectionTest, PacketsArriveWholeHoweverTheStreamIsCut) {
  const std::string stream = wireImage("HELO", "server", "") +
                             wireImage("LEVL", "server", "2\xFD") +
                             wireImage("MESS", "server", "hello\xFD");
  // The first two packets and half of the third, then the rest.
  serverSends(stream.substr(0, 100));
  Packet packet;
  ASSERT_EQ(connection.receive(&packet), 1);
  EXPECT_EQ(std::string(packet.type, 4), "HELO");
  EXPECT_EQ(packet.length, 0u);
  ASSERT_EQ(connection.receive(&packet), 1);
  EXPECT_EQ(std::string(packet.type, 4), "LEVL");
  serverSends(stream.substr(100));
  ASSERT_EQ(connection.receive(&packet), 1);
  EXPECT_EQ(payloadOf(packet), "hello\xFD");
}

TEST_F(ConnectionTest, AHeaderClaimingMoreThanAPacketHoldsEndsTheConnection) {
  std::string header = wireImage("MESS", "server", "");
  header[38] = 0x03, header[39] = static_cast<char>(0xD9);  // 985 bytes
  serverSends(header);
  Packet packet;
  EXPECT_EQ(connection.receive(&packet), -1);
}

TEST_F(ConnectionTest, AServerThatClosesInsideAPacketEndsTheConnectionInOrder) {
  serverSends(wireImage("MESS", "server", "cut short\xFD").substr(0, 45));
  server.reset();
  Packet packet;
  EXPECT_EQ(connection.receive(&packet), 0);
}

TEST_F(ConnectionTest, SentPacketsCarryTheFirstEightBytesOfTheName) {
  connection.setSenderName("alexander");
  ASSERT_TRUE(connection.send("PRIV",
                              "bob\xFC"
                              "hi\xFD"));
  WireClient reader{std::move(server)};
  Packet packet;
  ASSERT_TRUE(reader.readPacket(packet));
  EXPECT_EQ(std::string(packet.senderName, 8), "alexande");
  EXPECT_EQ(std::string(packet.senderHost), "127.0.0.1");
  EXPECT_NE(packet.timestamp, 0u);
  EXPECT_EQ(payloadOf(packet),
            "bob\xFC"
            "hi\xFD");
  EXPECT_FALSE(connection.send("PRIV", std::string(MAX_PAYLOAD_SIZE + 1, 'x')));
}

}  // namespace
