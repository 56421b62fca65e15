// The wire image: header fields in order, integers big-endian, then the payload.
#include "protocol/Packet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "WireClient.h"

namespace {

std::string image(const Packet& packet) {
  unsigned char buffer[MAX_WIRE_SIZE];
  packet.serialize(buffer);
  return std::string(reinterpret_cast<char*>(buffer), HEADER_SIZE + packet.length);
}

TEST(PacketTest, NewPacketIsAllZeroWithA40ByteHeader) {
  Packet packet;
  EXPECT_EQ(packet.headerSize, 40u);
  EXPECT_EQ(packet.length, 0u);
  EXPECT_EQ(packet.payload, nullptr);
  EXPECT_EQ(image(packet), std::string(40, '\0'));
}

TEST(PacketTest, SerializesEveryFieldAtItsOffset) {
  Packet packet;
  std::memcpy(packet.type, "PRIV", 4);
  std::memcpy(packet.senderName, "eightchr", 8);  // fills the field: no NUL
  std::memcpy(packet.senderHost, "192.0.2.7", 9);
  packet.timestamp = 0x01020304;
  packet.sequence = -1;
  packet.setPayload("hi\xFD", 3);
  std::string expected = std::string("PRIV") + "eightchr" + std::string("192.0.2.7\0\0\0\0\0\0\0", 16) +
                         "\x01\x02\x03\x04" + "\xFF\xFF\xFF\xFF" + std::string("\0\0\0\x03", 4) +
                         "hi\xFD";
  EXPECT_EQ(image(packet), expected);
}

TEST(PacketTest, DeserializeIsTheExactReverse) {
  std::string wire = wireImage("MAIL", "bob", "alice\xFC" "body\xFD", 7, "10.1.2.3", 1234567890);
  Packet packet;
  packet.setPayload("old", 3);
  packet.deserialize(reinterpret_cast<const unsigned char*>(wire.data()));
  EXPECT_EQ(std::string(packet.type, 4), "MAIL");
  EXPECT_STREQ(std::string(packet.senderName, 8).c_str(), "bob");
  EXPECT_STREQ(packet.senderHost, "10.1.2.3");
  EXPECT_EQ(packet.timestamp, 1234567890u);
  EXPECT_EQ(packet.sequence, 7);
  EXPECT_EQ(payloadOf(packet), "alice\xFC" "body\xFD");
  EXPECT_EQ(image(packet), wire);
}

TEST(PacketTest, EmptyLengthLeavesNoPayload) {
  std::string wire = wireImage("QUIT", "", "");
  Packet packet;
  packet.setPayload("x", 1);
  packet.deserialize(reinterpret_cast<const unsigned char*>(wire.data()));
  EXPECT_EQ(packet.length, 0u);
  EXPECT_EQ(packet.payload, nullptr);
}

}  // namespace
