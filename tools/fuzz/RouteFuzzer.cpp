// Routing: the recipient list at the front of a PRIV, MAIL or GRAP payload. Three users are
// logged in (one with a name longer than the header's eight bytes) and one connection is still
// in its handshake. Each recipient that is logged in must get the packet's wire image, once per
// mention, with the sender fields stamped from the sending session (its name's first eight
// bytes, its address) whatever the header claimed; "everyone" first sends it once to each
// logged-in user; a recipient that is not logged in earns the sending session (never the user
// the header names) of a PRIV or MAIL the notice that it could not be delivered; the connection
// in its handshake never gets anything; and the packet itself is not changed. Routed with no
// session behind it, the image goes out exactly as it is and nobody is told of absent names.
//
// Input: byte 0 picks the type (and whether the packet goes through dispatchPacket with a type
// of its own, or is routed with no session), byte 1 the sending session and the name its
// header claims; the rest is the payload.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "core/Text.h"

namespace {

constexpr int kUsers = 3;
const char* const kNames[kUsers] = {"alice", "bob", "longername"};
const char* const kAddresses[kUsers] = {"10.0.0.1", "192.168.100.200", "172.16.0.3"};
constexpr int kHandshakeSlot = kUsers;  // connected, not yet logged in
constexpr int kCapacity = kUsers + 1;   // one more slot stays empty

FuzzServer& harness() {
  static FuzzServer* instance = new FuzzServer(kCapacity);
  return *instance;
}

// The recipient names as the payload lists them, or none when it has no list.
std::vector<std::string> recipientsOf(const std::uint8_t* payload, std::size_t length) {
  std::vector<std::string> names;
  std::size_t end = 0;
  while (end < length && payload[end] != RECIPIENTS_END) {
    if (payload[end] == 0) return {};
    ++end;
  }
  if (end == length) return {};
  std::string current;
  for (std::size_t i = 0; i < end; ++i) {
    if (payload[i] == FIELD_SEP || payload[i] == ENTRY_SEP) {
      if (!current.empty()) names.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(payload[i]));
    }
  }
  if (!current.empty()) names.push_back(current);
  return names;
}

int userIndex(const std::string& name) {
  for (int i = 0; i < kUsers; ++i) {
    if (name == kNames[i]) return i;
  }
  return -1;
}

// The notice a sender gets for a recipient that is not logged in, as the payload's text.
std::string undeliverableText(const std::string& recipient) {
  char text[TEXT_LINE_SIZE];
  std::snprintf(text, sizeof text, "Could not deliver message to %s.  User is not connected",
                recipient.c_str());
  neutraliseClientText(text);
  return text;
}

// Takes the next packet off the front of bytes into packet; false when none is whole there.
bool takePacket(std::string& bytes, Packet& packet) {
  const auto* front = reinterpret_cast<const unsigned char*>(bytes.data());
  std::int32_t whole = framedPacketSize(front, bytes.size());
  FUZZ_CHECK(whole >= 0);
  if (whole == 0 || static_cast<std::size_t>(whole) > bytes.size()) return false;
  packet.deserialize(front);
  bytes.erase(0, static_cast<std::size_t>(whole));
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2 || size - 2 > MAX_PAYLOAD_SIZE) return 0;
  static const char* const kTypes[] = {"PRIV", "MAIL", "GRAP"};
  const std::uint8_t choice = data[0];
  const std::uint8_t senderChoice = data[1];
  const std::uint8_t* payload = data + 2;
  const std::size_t length = size - 2;

  FuzzServer& fuzz = harness();
  fuzz.reset();
  trimLog(fuzzFolder() / ".servererrors");
  StreamSocket* clients[kCapacity];
  for (int i = 0; i < kUsers; ++i) clients[i] = &fuzz.connect(i, kNames[i], kAddresses[i]);
  clients[kHandshakeSlot] = &fuzz.connect(kHandshakeSlot);

  // The session that sends, and what its header claims: a user's name (perhaps another's), or
  // someone who is not logged in.
  static const char* const kClaims[] = {"alice", "bob", "longername", "ghost", ""};
  constexpr int kClaimCount = sizeof kClaims / sizeof kClaims[0];
  const bool noSession = (choice & 0x40) != 0 && choice < 0x80;
  const int senderIndex = noSession ? -1 : senderChoice % kUsers;
  const char* claimed = kClaims[(senderChoice / kUsers) % kClaimCount];

  Packet packet;
  std::memcpy(packet.type, kTypes[choice % 3], 4);
  // A claim of eight characters or more fills the field with no NUL.
  std::memcpy(packet.senderName, claimed, std::min(std::strlen(claimed), sizeof packet.senderName));
  std::memcpy(packet.senderHost, "127.0.0.1", 9);
  packet.timestamp = 0x01020304u;
  packet.sequence = -1;
  FUZZ_CHECK(packet.setPayload(payload, static_cast<std::uint32_t>(length)));
  const std::string original = wireImageOf(packet);
  // What recipients must see: the session's name (its first eight bytes) and address.
  std::string image = original;
  if (!noSession) {
    std::string name(kNames[senderIndex]);
    name.resize(8, '\0');
    std::string host(kAddresses[senderIndex]);
    host.resize(16, '\0');
    image.replace(4, 8, name);
    image.replace(12, 16, host);
  }

  if (choice >= 0x80) {
    // Through the dispatcher, with the type from the payload's first bytes when it has them:
    // every type must leave the session going except QUIT.
    if (length >= 4) std::memcpy(packet.type, payload, 4);
    Bool16 going = fuzz.server.dispatchPacket(fuzz.slot(senderIndex), &packet);
    FUZZ_CHECK((going == 0) == (std::memcmp(packet.type, "QUIT", 4) == 0));
    for (StreamSocket* client : clients) drain(*client);
    return 0;
  }

  Bool16 routed = noSession ? fuzz.server.routePacket(&packet)
                            : fuzz.server.routePacket(fuzz.slot(senderIndex), &packet);
  FUZZ_CHECK(packetMatches(packet, reinterpret_cast<const std::uint8_t*>(original.data()),
                           original.size()));

  // What each connection should have got.
  std::string expected[kCapacity];
  const std::vector<std::string> recipients = recipientsOf(payload, length);
  FUZZ_CHECK((routed != 0) == !recipients.empty());
  const bool notifies = std::memcmp(packet.type, "GRAP", 4) != 0;
  std::vector<std::string> senderStream;  // "" for a copy of the image, else a notice's text
  if (!recipients.empty() && recipients[0] == "everyone") {
    for (int i = 0; i < kUsers; ++i) expected[i] = image;
    if (senderIndex >= 0) senderStream.push_back("");
  } else {
    for (const std::string& name : recipients) {
      int index = userIndex(name);
      if (index >= 0) {
        expected[index] += image;
        if (index == senderIndex) senderStream.push_back("");
      } else if (notifies && senderIndex >= 0) {
        senderStream.push_back(undeliverableText(name));
      }
    }
  }

  for (int i = 0; i < kCapacity; ++i) {
    std::string got = drain(*clients[i]);
    if (i != senderIndex) {
      FUZZ_CHECK(got == expected[i]);
      continue;
    }
    // The sender's own stream interleaves its copies with the notices, in recipient order.
    Packet each;
    for (const std::string& want : senderStream) {
      FUZZ_CHECK(takePacket(got, each));
      if (want.empty()) {
        FUZZ_CHECK(
            packetMatches(each, reinterpret_cast<const std::uint8_t*>(image.data()), image.size()));
      } else {
        FUZZ_CHECK(std::memcmp(each.type, "MESS", 4) == 0);
        FUZZ_CHECK(each.length == want.size() + 1);
        FUZZ_CHECK(std::memcmp(each.payload, want.data(), want.size()) == 0);
        FUZZ_CHECK(each.payload[want.size()] == PAYLOAD_END);
      }
    }
    FUZZ_CHECK(got.empty());
  }
  return 0;
}
