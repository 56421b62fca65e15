#include "MessageBody.h"

#include <cstring>

#include "BenchClock.h"
#include "protocol/Packet.h"

namespace {

const char kDigits[] = "0123456789abcdef";

void writeHex(unsigned char* at, std::uint64_t value, int digits) {
  for (int i = digits - 1; i >= 0; --i) {
    at[i] = static_cast<unsigned char>(kDigits[value & 0xF]);
    value >>= 4;
  }
}

bool readHex(const unsigned char* at, int digits, std::uint64_t* value) {
  std::uint64_t result = 0;
  for (int i = 0; i < digits; ++i) {
    const unsigned char c = at[i];
    unsigned nibble;
    if (c >= '0' && c <= '9') {
      nibble = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      nibble = c - 'a' + 10;
    } else {
      return false;
    }
    result = (result << 4) | nibble;
  }
  *value = result;
  return true;
}

}  // namespace

MessageBody MessageBody::leavingNow(std::uint32_t sender, std::uint32_t recipient,
                                   std::uint32_t sequence) {
  MessageBody body;
  body.sender = sender;
  body.recipient = recipient;
  body.sequence = sequence;
  body.sentAt = nowNanoseconds();
  return body;
}

void MessageBody::write(unsigned char* at) const {
  at[0] = 'm';
  at[1] = 'b';
  writeHex(at + 2, sender, 4);
  writeHex(at + 6, recipient, 4);
  writeHex(at + 10, sequence, 8);
  writeHex(at + 18, sentAt, 16);
}

bool MessageBody::read(const unsigned char* at, std::size_t size) {
  if (size < FIELDS_SIZE || at[0] != 'm' || at[1] != 'b') return false;
  std::uint64_t s, r, q, t;
  if (!readHex(at + 2, 4, &s) || !readHex(at + 6, 4, &r) || !readHex(at + 10, 8, &q) ||
      !readHex(at + 18, 16, &t)) {
    return false;
  }
  sender = static_cast<std::uint32_t>(s);
  recipient = static_cast<std::uint32_t>(r);
  sequence = static_cast<std::uint32_t>(q);
  sentAt = t;
  return true;
}

bool MessageBody::readFromImage(const unsigned char* image, std::size_t size) {
  if (size <= HEADER_SIZE) return false;
  const unsigned char* payload = image + HEADER_SIZE;
  const std::size_t length = size - HEADER_SIZE;
  const void* end = std::memchr(payload, RECIPIENTS_END, length);
  if (end == nullptr) return false;
  const unsigned char* body = static_cast<const unsigned char*>(end) + 1;
  const std::size_t bodySize = static_cast<std::size_t>(payload + length - body);
  // The last byte is the payload's terminator, not body.
  return bodySize > 0 && read(body, bodySize - 1);
}
