#include "protocol/Packet.h"

#include <cstdlib>
#include <cstring>

namespace {

void writeBigEndian32(unsigned char* bytes, std::uint32_t value) {
  bytes[0] = static_cast<unsigned char>(value >> 24);
  bytes[1] = static_cast<unsigned char>(value >> 16);
  bytes[2] = static_cast<unsigned char>(value >> 8);
  bytes[3] = static_cast<unsigned char>(value);
}

}  // namespace

std::uint32_t readBigEndian32(const unsigned char* bytes) {
  return (static_cast<std::uint32_t>(bytes[0]) << 24) |
         (static_cast<std::uint32_t>(bytes[1]) << 16) |
         (static_cast<std::uint32_t>(bytes[2]) << 8) | static_cast<std::uint32_t>(bytes[3]);
}

std::int32_t framedPacketSize(const unsigned char* bytes, std::size_t available) {
  if (available < HEADER_SIZE) return 0;
  std::uint32_t length = readBigEndian32(bytes + 36);
  if (length > MAX_PAYLOAD_SIZE) return -1;
  return static_cast<std::int32_t>(HEADER_SIZE + length);
}

Packet::Packet()
    : type{}, senderName{}, senderHost{}, timestamp(0), sequence(0), length(0),
      payload(nullptr), headerSize(HEADER_SIZE) {}

Packet::~Packet() { clearPayload(); }

unsigned char* Packet::serialize(unsigned char* buffer) const {
  std::memcpy(buffer, type, 4);
  std::memcpy(buffer + 4, senderName, 8);
  std::memcpy(buffer + 12, senderHost, 16);
  writeBigEndian32(buffer + 28, timestamp);
  writeBigEndian32(buffer + 32, static_cast<std::uint32_t>(sequence));
  writeBigEndian32(buffer + 36, length);
  if (length != 0 && payload != nullptr) std::memcpy(buffer + HEADER_SIZE, payload, length);
  return buffer;
}

void formatSenderFields(unsigned char* fields, const char* name, const char* host) {
  // strncpy pads with NULs, as the fields want, and stops at 8 and 16 bytes.
  std::strncpy(reinterpret_cast<char*>(fields), name, 8);
  std::strncpy(reinterpret_cast<char*>(fields + 8), host, 16);
}

void Packet::deserialize(const unsigned char* image) {
  std::memcpy(type, image, 4);
  std::memcpy(senderName, image + 4, 8);
  std::memcpy(senderHost, image + 12, 16);
  timestamp = readBigEndian32(image + 28);
  sequence = static_cast<std::int32_t>(readBigEndian32(image + 32));
  setPayload(image + HEADER_SIZE, readBigEndian32(image + 36));
}

bool Packet::setPayload(const void* bytes, std::uint32_t length_) {
  clearPayload();
  if (length_ == 0) return true;
  payload = static_cast<unsigned char*>(std::malloc(length_));
  if (payload == nullptr) return false;
  if (bytes != nullptr) std::memcpy(payload, bytes, length_);
  length = length_;
  return true;
}

void Packet::clearPayload() {
  std::free(payload);
  payload = nullptr;
  length = 0;
}
