// The packets the server originates. Each builder sets the type code, the time stamp and the
// part number of the caller's packet, composes the payload, and sends it with sendPacket; the
// sender fields belong to whoever owns the packet.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

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
int formatUserEntry(char* text, ConnectionSlot* slot, const char* fullName) {
  char host[16] = "";
  if (slot->socket != nullptr) slot->socket->getPeerAddress(host, sizeof host);
  int length = std::snprintf(text, MAX_WIRE_SIZE, "%s\xFF%s\xFF%s\xFF%lld", slot->userName, host,
                             fullName, static_cast<long long>(slot->connectTime));
  if (length < 0 || length >= static_cast<int>(MAX_PAYLOAD_SIZE)) return -1;
  return length;
}

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
  setHeader(packet, "USER");
  NamedLock usersLock(*usersMutex);
  char part[MAX_WIRE_SIZE];
  std::int32_t used = 0;
  std::int32_t total = 0;
  const std::int32_t slotCount = slots != nullptr ? capacity + 1 : 0;
  for (std::int32_t i = 0; i < slotCount; ++i) {
    ConnectionSlot* other = slots[i];
    if (other == nullptr || other->userName == nullptr || !other->admitted || other == slot) {
      continue;
    }
    char fullName[MAX_WIRE_SIZE];
    if (lookupFullName(other->userName, fullName, sizeof fullName) == nullptr) {
      std::strcpy(fullName, "UNAVAILABLE");
    }
    char entry[MAX_WIRE_SIZE];
    int entryLength = formatUserEntry(entry, other, fullName);
    if (entryLength < 0) continue;  // a name too long for any packet: left out, never cut
    std::int32_t entrySize = entryLength + 1;  // with its ENTRY_SEP
    if (HEADER_SIZE + used + entrySize > USER_LIST_LIMIT && used > 0) {
      // The part is full: out it goes, its last ENTRY_SEP becoming the PAYLOAD_END.
      ++packet->sequence;
      std::int32_t sent = sendPacket(slot, packet, part, used);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (sent < 0) return -1;
      total += sent;
      used = 0;
    }
    std::memcpy(part + used, entry, static_cast<std::size_t>(entryLength));
    part[used + entryLength] = static_cast<char>(ENTRY_SEP);
    used += entrySize;
  }
  usersLock.unlock();

  if (packet->sequence != 0) packet->sequence = -1;  // the last part of a split list
  std::int32_t sent = used > 0 ? sendPacket(slot, packet, part, used)
                               : sendPacket(slot, packet, nullptr, -1);
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

std::int32_t Server::sendUserJoined(ConnectionSlot* recipient, Packet* packet,
                                    ConnectionSlot* joined) {
  setHeader(packet, "USER");
  char fullName[128];
  if (lookupFullName(joined->userName, fullName, sizeof fullName) == nullptr) {
    std::strcpy(fullName, "UNAVAILABLE");
  }
  char entry[MAX_WIRE_SIZE];
  if (formatUserEntry(entry, joined, fullName) < 0) return -1;
  return sendPacket(recipient, packet, entry, -1);
}

std::int32_t Server::sendUserGone(ConnectionSlot* recipient, Packet* packet,
                                  ConnectionSlot* gone) {
  setHeader(packet, "GONE");
  return sendPacket(recipient, packet, gone->userName, -1);
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
