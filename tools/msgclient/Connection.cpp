#include "Connection.h"

#include <cstring>
#include <ctime>

namespace msgclient {

Connection::Connection() : senderName_{} {}

Connection::~Connection() = default;

bool Connection::open(const char* address, std::uint16_t port) {
  socket_.peerPort = port;
  socket_.setPeerAddress(address);
  if (!socket_.connect()) return false;
  socket_.setNoDelay(1);
  return true;
}

int Connection::receive(Packet* packet) {
  for (;;) {
    const std::int32_t size = framedPacketSize(received_, buffered_);
    if (size < 0) return -1;
    if (size > 0 && buffered_ >= static_cast<std::size_t>(size)) {
      packet->deserialize(received_);
      buffered_ -= static_cast<std::size_t>(size);
      std::memmove(received_, received_ + size, buffered_);
      return 1;
    }
    // A packet is at most MAX_WIRE_SIZE bytes, so an unfinished one always leaves room.
    const std::int32_t got = socket_.receive(
        received_ + buffered_, static_cast<std::int32_t>(sizeof received_ - buffered_), 0);
    if (got == 0) return 0;
    if (got < 0) return -1;
    buffered_ += static_cast<std::size_t>(got);
  }
}

bool Connection::send(const char (&type)[5], std::string_view payload) {
  if (payload.size() > MAX_PAYLOAD_SIZE) return false;
  Packet packet;
  std::memcpy(packet.type, type, 4);
  std::memcpy(packet.senderHost, socket_.localAddress, sizeof packet.senderHost);
  packet.senderHost[sizeof packet.senderHost - 1] = '\0';
  packet.timestamp = static_cast<std::uint32_t>(std::time(nullptr));
  if (!packet.setPayload(payload.data(), static_cast<std::uint32_t>(payload.size()))) return false;
  unsigned char wire[MAX_WIRE_SIZE];
  std::lock_guard<std::mutex> hold(sendLock_);
  std::memcpy(packet.senderName, senderName_, sizeof senderName_);
  const std::int32_t total = static_cast<std::int32_t>(HEADER_SIZE + packet.length);
  packet.serialize(wire);
  std::int32_t done = 0;
  while (done < total) {
    const std::int32_t sent = socket_.send(wire + done, total - done, 0);
    if (sent <= 0) return false;
    done += sent;
  }
  return true;
}

void Connection::setSenderName(const std::string& name) {
  std::lock_guard<std::mutex> hold(sendLock_);
  std::memset(senderName_, 0, sizeof senderName_);
  std::memcpy(senderName_, name.data(),
              name.size() < sizeof senderName_ ? name.size() : sizeof senderName_);
}

void Connection::shutdown() { socket_.shutdownBoth(); }

}  // namespace msgclient
