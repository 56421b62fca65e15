// What a logged-in client's packets do: messages for others are routed to them with the
// sender fields the server vouches for (the session's name and address, whatever the client
// wrote there), messages and error reports for the operator are shown and logged, QUIT ends the
// session, and packets only the server may send are reported as protocol violations.
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/Server.h"
#include "core/Text.h"
#include "platform/Mutex.h"
#include "platform/StreamSocket.h"
#include "protocol/Packet.h"
#include "sessions/ConnectionSlot.h"

namespace {

bool isType(const Packet* packet, const char* code) { return std::memcmp(packet->type, code, 4) == 0; }

// The payload read as text: its last byte (the terminator) becomes a NUL.
const char* payloadText(Packet* packet) {
  packet->payload[packet->length - 1] = '\0';
  return reinterpret_cast<const char*>(packet->payload);
}

}  // namespace

void Server::reportSession(const char* format, ConnectionSlot* slot, const char* detail) {
  char peer[16] = "";
  if (slot->socket != nullptr) slot->socket->getPeerAddress(peer, sizeof peer);
  char line[TEXT_LINE_SIZE];
  std::snprintf(line, sizeof line, format, slot->userName != nullptr ? slot->userName : "", peer,
                detail);
  neutraliseClientText(line);
  report(line);
}

Bool16 Server::dispatchPacket(ConnectionSlot* slot, Packet* packet) {
  if (isType(packet, "PRIV") || isType(packet, "GRAP") || isType(packet, "MAIL")) {
    if (!routePacket(slot, packet)) {
      reportSession("Internal Error: Error routing message from %s@%s", slot, "");
    }
    return 1;
  }
  if (isType(packet, "QUIT")) return 0;
  static const char* const kServerOnly[] = {"HELO", "USER", "CONN", "MCST", "SYID",
                                            "LEVL", "GONE", "MGRP", "LERR"};
  for (const char* code : kServerOnly) {
    if (isType(packet, code)) {
      char codeText[5] = {packet->type[0], packet->type[1], packet->type[2], packet->type[3], 0};
      reportSession("Session Error: %s@%s sent packet of type %s.", slot, codeText);
      return 1;
    }
  }
  if (isType(packet, "ERRO")) {
    reportSession("Client Error Message: %s@%s encountered error: %s.", slot,
                  packet->length > 0 ? payloadText(packet) : "No error specified");
    return 1;
  }
  if (isType(packet, "MESS")) {
    reportSession("Client Message: %s@%s sent message: %s.", slot,
                  packet->length > 0 ? payloadText(packet) : "No message specified");
    return 1;
  }
  report("Internal Error: Unknown packet type.");
  return 1;
}

Bool16 Server::routePacket(Packet* packet) { return routePacket(nullptr, packet); }

Bool16 Server::routePacket(ConnectionSlot* sender, Packet* packet) {
  if (packet->length == 0 || packet->payload == nullptr) return 0;
  // The recipients are the bytes before the first RECIPIENTS_END; a NUL or the end of the
  // payload before it means there is no recipient list.
  std::uint32_t end = 0;
  while (end < packet->length && packet->payload[end] != RECIPIENTS_END) {
    if (packet->payload[end] == 0) return 0;
    ++end;
  }
  if (end == packet->length) return 0;

  // Split at FIELD_SEP and ENTRY_SEP, in a copy of our own: several workers route at once.
  char names[MAX_WIRE_SIZE];
  std::memcpy(names, packet->payload, end);
  names[end] = '\0';
  const char* recipients[MAX_WIRE_SIZE / 2 + 1];
  int count = 0;
  for (std::uint32_t i = 0; i < end;) {
    auto isSeparator = [](char c) {
      return static_cast<unsigned char>(c) == FIELD_SEP || static_cast<unsigned char>(c) == ENTRY_SEP;
    };
    if (isSeparator(names[i])) {
      names[i++] = '\0';
      continue;
    }
    recipients[count++] = names + i;
    while (i < end && !isSeparator(names[i])) ++i;
  }
  if (count == 0) return 0;

  // One image for every recipient, with the sender fields of the session's login.
  unsigned char image[MAX_WIRE_SIZE];
  packet->serialize(image);
  if (sender != nullptr) {
    std::memcpy(image + SENDER_FIELDS_OFFSET, sender->senderFields, SENDER_FIELDS_SIZE);
  }
  const std::int32_t size = static_cast<std::int32_t>(packet->headerSize + packet->length);
  const bool notifySender =
      sender != nullptr && (isType(packet, "PRIV") || isType(packet, "MAIL"));

  // Each recipient is looked up under users, which is let go before anything is written:
  // nobody waits for users while a send waits for room. The write happens under the
  // recipient's send lock, and only if it still serves the login that was looked up.
  if (std::strcmp(recipients[0], "everyone") == 0) {
    // A broadcast reaches the users logged in when it is routed, and no one else: nobody who
    // logs in half-way gets a packet sent before they came.
    std::vector<Recipient> everyone;
    sessions.online(&everyone);
    for (const Recipient& recipient : everyone) transport.post(sender, recipient, image, size);
    return 1;
  }
  for (int i = 0; i < count; ++i) {
    Recipient found;
    if (sessions.find(recipients[i], &found)) {
      transport.post(sender, found, image, size);
    } else if (notifySender) {
      notifyUndeliverable(sender, recipients[i]);
    }
  }
  return 1;
}

// The notice goes to the session that sent the packet, whatever its header says.
void Server::notifyUndeliverable(ConnectionSlot* sender, const char* recipient) {
  char text[TEXT_LINE_SIZE];
  std::snprintf(text, sizeof text, "Could not deliver message to %s.  User is not connected",
                recipient);
  neutraliseClientText(text);
  Packet notice;  // no sender name or host: the notice comes from nobody in particular
  sendMessage(sender, &notice, text);
  logError(text);
}
