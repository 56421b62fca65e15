// The packets the server originates. Each builder sets the type code, the time stamp and the
// part number of the caller's packet, composes the payload, and sends it with sendPacket; the
// sender fields belong to whoever owns the packet.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "core/LockOrder.h"
#include "core/NamedLock.h"
#include "core/Server.h"
#include "platform/StreamSocket.h"
#include "protocol/Packet.h"
#include "sessions/ConnectionSlot.h"

namespace {

void setHeader(Packet* packet, const char* code) {
  std::memcpy(packet->type, code, 4);
  packet->timestamp = static_cast<std::uint32_t>(std::time(nullptr));
  packet->sequence = 0;
}

// One user entry: name, host, full name and connect time, separated by FIELD_SEP, into text
// (at least MAX_WIRE_SIZE bytes). Returns its length, or -1 when it cannot fit one packet.
int formatUserEntry(char* text, const ListedUser& user, const char* fullName) {
  int length = std::snprintf(text, MAX_WIRE_SIZE, "%s\xFF%s\xFF%s\xFF%lld", user.name.c_str(),
                             user.host, fullName, static_cast<long long>(user.connectTime));
  if (length < 0 || length >= static_cast<int>(MAX_PAYLOAD_SIZE)) return -1;
  return length;
}

// The slot as a list shows it; read unlocked by callers that know it cannot change meanwhile.
ListedUser listedUserOf(ConnectionSlot* slot) {
  ListedUser user{slot->userName != nullptr ? slot->userName : "", "", slot->connectTime};
  if (slot->socket != nullptr) slot->socket->getPeerAddress(user.host, sizeof user.host);
  return user;
}

// A joined notice shows at most this much of a full name.
constexpr std::size_t kJoinedFullNameSize = 128;

}  // namespace

std::int32_t Server::sendHello(ConnectionSlot* slot, Packet* packet) {
  setHeader(packet, "HELO");
  return sendPacket(slot, packet, nullptr, -1);
}

std::int32_t Server::sendMessage(ConnectionSlot* slot, Packet* packet, const char* text) {
  setHeader(packet, "MESS");
  return sendPacket(slot, packet, text, -1);
}

std::int32_t Server::sendLevel(ConnectionSlot* slot, Packet* packet) {
  setHeader(packet, "LEVL");
  char text[16];
  std::snprintf(text, sizeof text, "%d", static_cast<int>(securityLevel.load()));
  return sendPacket(slot, packet, text, -1);
}

std::int32_t Server::sendLoginError(ConnectionSlot* slot, Packet* packet, const char* text) {
  setHeader(packet, "LERR");
  return sendPacket(slot, packet, text, -1);
}

std::int32_t Server::sendSystemId(ConnectionSlot* slot, Packet* packet) {
  setHeader(packet, "SYID");
  // The address's octets last to first, then the process id big-endian, then the terminator.
  const auto* octets = reinterpret_cast<const unsigned char*>(&hostAddress);
  char id[9] = {static_cast<char>(octets[3]),        static_cast<char>(octets[2]),
                static_cast<char>(octets[1]),        static_cast<char>(octets[0]),
                static_cast<char>(processId >> 24),  static_cast<char>(processId >> 16),
                static_cast<char>(processId >> 8),   static_cast<char>(processId),
                0};
  return sendPacket(slot, packet, id, sizeof id);
}

std::int32_t Server::sendUserList(ConnectionSlot* slot, Packet* packet) {
  std::vector<ListedUser> listed;
  sessions.listOthers(slot, &listed);
  return sendListed(slot, packet, listed);
}

// The list goes out part by part, each under the recipient's send lock for its write alone:
// what others send the recipient meanwhile waits behind the list (Transport::beginList), and
// they do not wait for it. Takes the password file's mutex once for every full name.
std::int32_t Server::sendListed(ConnectionSlot* slot, Packet* packet,
                                const std::vector<ListedUser>& listed) {
  setHeader(packet, "USER");
  std::vector<std::string> fullNames;
  lookupFullNames(listed, &fullNames);
  char part[MAX_WIRE_SIZE];
  std::int32_t used = 0;
  std::int32_t total = 0;
  for (std::size_t i = 0; i < listed.size(); ++i) {
    char entry[MAX_WIRE_SIZE];
    int entryLength = formatUserEntry(entry, listed[i], fullNames[i].c_str());
    if (entryLength < 0) continue;  // a name too long for any packet: left out, never cut
    std::int32_t entrySize = entryLength + 1;  // with its ENTRY_SEP
    if (HEADER_SIZE + used + entrySize > USER_LIST_LIMIT && used > 0) {
      // The part is full: out it goes, its last ENTRY_SEP becoming the PAYLOAD_END.
      ++packet->sequence;
      unsigned char image[MAX_WIRE_SIZE];
      // Out before the pause.
      std::int32_t sent =
          transport.sendListPart(slot, image, composePacket(packet, part, used, image), true);
      if (sent < 0) return -1;
      LockOrder::assertNotHeld(LockRank::Users, "a pause under users");
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      total += sent;
      used = 0;
    }
    std::memcpy(part + used, entry, static_cast<std::size_t>(entryLength));
    part[used + entryLength] = static_cast<char>(ENTRY_SEP);
    used += entrySize;
  }
  if (packet->sequence != 0) packet->sequence = -1;  // the last part of a split list
  unsigned char image[MAX_WIRE_SIZE];
  std::int32_t sent = transport.sendListPart(
      slot, image,
      used > 0 ? composePacket(packet, part, used, image) : composePacket(packet, nullptr, -1, image),
      false);
  return sent < 0 ? -1 : total + sent;
}

std::int32_t Server::sendMulticastGroup(ConnectionSlot* slot, Packet* packet) {
  setHeader(packet, "MCST");
  char address[16];
  getMcastAddress(address, sizeof address);
  char text[64];
  std::snprintf(text, sizeof text, "%s\xFF%u\xFF%d", address,
                static_cast<unsigned>(mcastPort.load()), static_cast<int>(mcastTtl.load()));
  return sendPacket(slot, packet, text, -1);
}

std::int32_t Server::sendConnected(ConnectionSlot* slot, Packet* packet) {
  setHeader(packet, "CONN");
  return sendPacket(slot, packet, nullptr, -1);
}

std::int32_t Server::composeUserJoined(Packet* packet, const ListedUser& user,
                                       const char* fullName, unsigned char* image) {
  setHeader(packet, "USER");
  char shownFullName[kJoinedFullNameSize];
  std::snprintf(shownFullName, sizeof shownFullName, "%s", fullName);
  char entry[MAX_WIRE_SIZE];
  if (formatUserEntry(entry, user, shownFullName) < 0) return -1;
  return composePacket(packet, entry, -1, image);
}

std::int32_t Server::composeUserGone(Packet* packet, const char* name, unsigned char* image) {
  setHeader(packet, "GONE");
  return composePacket(packet, name, -1, image);
}

std::int32_t Server::sendUserJoined(ConnectionSlot* recipient, Packet* packet,
                                    ConnectionSlot* joined) {
  char fullName[kJoinedFullNameSize];
  if (lookupFullName(joined->userName, fullName, sizeof fullName) == nullptr) {
    std::strcpy(fullName, "UNAVAILABLE");
  }
  unsigned char image[MAX_WIRE_SIZE];
  std::int32_t size = composeUserJoined(packet, listedUserOf(joined), fullName, image);
  return size < 0 ? -1 : deliver(recipient, image, size);
}

std::int32_t Server::sendUserGone(ConnectionSlot* recipient, Packet* packet,
                                  ConnectionSlot* gone) {
  unsigned char image[MAX_WIRE_SIZE];
  return deliver(recipient, image, composeUserGone(packet, gone->userName, image));
}

std::int32_t Server::sendQuit(ConnectionSlot* slot, Packet* packet) {
  setHeader(packet, "QUIT");
  return sendPacket(slot, packet, nullptr, -1);
}

std::int32_t Server::composeStopNotice(Packet* packet, unsigned char* image) {
  setHeader(packet, "MESS");
  const std::int32_t notice = composePacket(packet, "The server is shutting down!", -1, image);
  setHeader(packet, "QUIT");
  return notice + composePacket(packet, nullptr, -1, image + notice);
}
