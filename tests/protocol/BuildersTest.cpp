// The packets the server originates, byte for byte, and the user list in parts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/Network.h"
#include "SlotFixture.h"

namespace {

class BuildersTest : public SlotFixture {
 protected:
  BuildersTest() : SlotFixture(8) {
    std::memcpy(out.senderName, "server\0\0", 8);
    std::memcpy(out.senderHost, "127.0.0.1", 9);
  }

  std::string wire(WireClient& client) {
    std::string header;
    EXPECT_TRUE(client.readBytes(header, 40));
    std::uint32_t length = readBigEndian32(reinterpret_cast<const unsigned char*>(header.data()) + 36);
    std::string payload;
    if (length > 0) {
      EXPECT_TRUE(client.readBytes(payload, length));
    }
    return header + payload;
  }

  Packet out;
};

TEST_F(BuildersTest, HelloConnectedAndQuitAreBareHeaders) {
  WireClient& client = connect(0, "alice");
  EXPECT_EQ(server.sendHello(slot(0), &out), 40);
  EXPECT_EQ(server.sendConnected(slot(0), &out), 40);
  EXPECT_EQ(server.sendQuit(slot(0), &out), 40);
  for (const char* code : {"HELO", "CONN", "QUIT"}) {
    std::string bytes = wire(client);
    ASSERT_EQ(bytes.size(), 40u);
    EXPECT_EQ(bytes.substr(0, 4), code);
    EXPECT_EQ(bytes.substr(4, 8), std::string("server\0\0", 8));
    EXPECT_EQ(bytes.substr(12, 16), std::string("127.0.0.1\0\0\0\0\0\0\0", 16));
    EXPECT_EQ(bytes.substr(32, 8), std::string(8, '\0'));  // sequence 0, no payload
  }
}

TEST_F(BuildersTest, SystemIdCarriesTheAddressReversedAndTheProcessIdBigEndian) {
  WireClient& client = connect(0, "alice");
  server.hostAddress = convertAddress("192.0.2.7");
  server.processId = 258;
  EXPECT_EQ(server.sendSystemId(slot(0), &out), 49);
  std::string bytes = wire(client);
  EXPECT_EQ(bytes.substr(0, 4), "SYID");
  EXPECT_EQ(bytes.substr(36), std::string("\0\0\0\x09\x07\x02\x00\xC0\x00\x00\x01\x02\xFD", 13));
}

TEST_F(BuildersTest, LevelAndMulticastGroupAreDecimalTexts) {
  WireClient& client = connect(0, "alice");
  server.securityLevel = LOGIN;
  server.setMcastAddress("239.1.2.3");
  EXPECT_EQ(server.sendLevel(slot(0), &out), 42);
  EXPECT_EQ(server.sendMulticastGroup(slot(0), &out), 40 + 18);
  std::string level = wire(client);
  EXPECT_EQ(level.substr(0, 4), "LEVL");
  EXPECT_EQ(level.substr(40), "2\xFD");
  std::string group = wire(client);
  EXPECT_EQ(group.substr(0, 4), "MCST");
  EXPECT_EQ(group.substr(40), "239.1.2.3\xFF" "4658\xFF" "64\xFD");
}

TEST_F(BuildersTest, TextBuildersCarryTheirTexts) {
  WireClient& client = connect(0, "alice");
  connect(1, "bob");
  EXPECT_GT(server.sendMessage(slot(0), &out, "Verifiying host."), 0);
  EXPECT_GT(server.sendLoginError(slot(0), &out, "Login incorrect."), 0);
  EXPECT_GT(server.sendUserGone(slot(0), &out, slot(1)), 0);
  EXPECT_EQ(client.next(), "MESS:Verifiying host.");
  EXPECT_EQ(client.next(), "LERR:Login incorrect.");
  EXPECT_EQ(client.next(), "GONE:bob");
}

TEST_F(BuildersTest, TimeStampIsNow) {
  WireClient& client = connect(0, "alice");
  std::uint32_t before = static_cast<std::uint32_t>(std::time(nullptr));
  server.sendHello(slot(0), &out);
  std::string bytes = wire(client);
  std::uint32_t stamp = readBigEndian32(reinterpret_cast<const unsigned char*>(bytes.data()) + 28);
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, before + 2);
}

TEST_F(BuildersTest, UserAloneGetsOneEmptyList) {
  WireClient& client = connect(0, "alice");
  connect(1);  // connected but not logged in: never listed
  EXPECT_EQ(server.sendUserList(slot(0), &out), 40);
  std::string bytes = wire(client);
  EXPECT_EQ(bytes.substr(0, 4), "USER");
  EXPECT_EQ(bytes.substr(32), std::string(8, '\0'));
}

TEST_F(BuildersTest, TwoOthersShareOnePacket) {
  WireClient& client = connect(0, "bob", 1000);
  connect(3, "carol", 1700000000);
  connect(5, "alice", 1700000001);
  EXPECT_GT(server.sendUserList(slot(0), &out), 0);
  std::string bytes = wire(client);
  EXPECT_EQ(bytes.substr(32, 4), std::string(4, '\0'));
  EXPECT_EQ(bytes.substr(40),
            "carol\xFF" "127.0.0.1\xFF" "UNAVAILABLE\xFF" "1700000000\xFE"
            "alice\xFF" "127.0.0.1\xFF" "UNAVAILABLE\xFF" "1700000001\xFD");
  EXPECT_TRUE(client.silentFor(std::chrono::milliseconds(50)));
}

TEST_F(BuildersTest, LongListGoesOutInNumberedPartsEndingWithMinusOne) {
  server.securityLevel = LOGIN;
  std::string records;
  std::string fullName(200, 'N');
  for (const char* name : {"u1", "u2", "u3", "u4", "u5"}) {
    records += std::string(name) + ":pw:" + fullName + "\n";
  }
  dir.write("passwd", records);
  WireClient& client = connect(0, "me");
  connect(1, "u1");
  connect(2, "u2");
  connect(4, "u3");
  connect(6, "u4");
  connect(8, "u5");
  EXPECT_GT(server.sendUserList(slot(0), &out), 0);
  std::vector<std::int32_t> sequences;
  std::string names;
  for (;;) {
    std::string bytes = wire(client);
    ASSERT_GE(bytes.size(), 40u);
    EXPECT_LE(bytes.size(), 512u);
    EXPECT_EQ(bytes.back(), '\xFD');
    std::int32_t sequence = static_cast<std::int32_t>(
        readBigEndian32(reinterpret_cast<const unsigned char*>(bytes.data()) + 32));
    sequences.push_back(sequence);
    std::string payload = bytes.substr(40);
    EXPECT_NE(payload.find(fullName), std::string::npos);  // whole, not cut
    for (std::size_t at = 0; at < payload.size();) {
      names += payload.substr(at, 2) + " ";
      std::size_t end = payload.find('\xFE', at);
      at = end == std::string::npos ? payload.size() : end + 1;
    }
    if (sequence == -1 || sequences.size() > 5) break;
  }
  EXPECT_EQ(sequences, (std::vector<std::int32_t>{1, 2, -1}));
  EXPECT_EQ(names, "u1 u2 u3 u4 u5 ");
  EXPECT_EQ(out.sequence, -1);
  EXPECT_EQ(server.sendHello(slot(0), &out), 40);
  EXPECT_EQ(out.sequence, 0);
}

TEST_F(BuildersTest, UserJoinedCutsTheFullNameTo127Characters) {
  server.securityLevel = LOGIN;
  dir.write("passwd", "newbie:pw:" + std::string(200, 'F') + "\n");
  WireClient& client = connect(0, "alice");
  connect(1, "newbie", 1234);
  EXPECT_GT(server.sendUserJoined(slot(0), &out, slot(1)), 0);
  Packet got;
  ASSERT_TRUE(client.readPacket(got));
  EXPECT_EQ(std::string(got.type, 4), "USER");
  EXPECT_EQ(got.sequence, 0);
  EXPECT_EQ(payloadOf(got), "newbie\xFF" "127.0.0.1\xFF" + std::string(127, 'F') + "\xFF" "1234\xFD");
}

TEST_F(BuildersTest, UnreadablePasswordFileGivesUnavailable) {
  server.securityLevel = SECURE;  // no passwd file in the folder
  WireClient& client = connect(0, "alice");
  connect(1, "bob", 42);
  testing::internal::CaptureStdout();
  EXPECT_GT(server.sendUserJoined(slot(0), &out, slot(1)), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(client.next(), "USER:bob\xFF" "127.0.0.1\xFF" "UNAVAILABLE\xFF" "42");
}

TEST_F(BuildersTest, UserTooLongForAnyPacketIsLeftOutNotCut) {
  WireClient& client = connect(0, "alice");
  std::string huge(990, 'h');
  connect(1, huge.c_str());
  connect(2, "bob", 7);
  EXPECT_GT(server.sendUserList(slot(0), &out), 0);
  EXPECT_EQ(client.next(), "USER:bob\xFF" "127.0.0.1\xFF" "UNAVAILABLE\xFF" "7");
  EXPECT_EQ(server.sendUserJoined(slot(0), &out, slot(1)), -1);
  EXPECT_TRUE(client.silentFor(std::chrono::milliseconds(50)));
}

}  // namespace
