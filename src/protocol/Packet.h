// Packet: the protocol record. A 40-byte header (type code, sender name, sender host, time
// stamp, part number, payload length) and a payload of at most MAX_PAYLOAD_SIZE bytes. The wire
// image is the header fields in order, integers big-endian, then the payload; nothing else.
// Invariant: payload is null exactly when length is 0; the packet owns payload.
// Thread safety: a packet is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::uint32_t HEADER_SIZE = 40;
inline constexpr std::uint32_t MAX_WIRE_SIZE = 1024;
inline constexpr std::uint32_t MAX_PAYLOAD_SIZE = MAX_WIRE_SIZE - HEADER_SIZE;  // 984
inline constexpr std::uint32_t USER_LIST_LIMIT = 512;

// Payload bytes with a fixed meaning.
inline constexpr unsigned char PAYLOAD_END = 0xFD;     // ends every payload, in place of a NUL
inline constexpr unsigned char FIELD_SEP = 0xFF;       // between fields
inline constexpr unsigned char ENTRY_SEP = 0xFE;       // between user-list entries
inline constexpr unsigned char RECIPIENTS_END = 0xFC;  // ends a routed payload's recipients

class Packet {
 public:
  // Every byte field zero, no payload, headerSize HEADER_SIZE.
  Packet();
  virtual ~Packet();

  Packet(const Packet&) = delete;
  Packet& operator=(const Packet&) = delete;

  // Writes the wire image into buffer (at least HEADER_SIZE + length bytes); returns buffer.
  unsigned char* serialize(unsigned char* buffer) const;
  // Fills the fields from a wire image of HEADER_SIZE + the image's length bytes; frees any
  // payload held. A length the caller has not bounded is the caller's fault: the receive path
  // refuses lengths over MAX_PAYLOAD_SIZE before it gets here.
  void deserialize(const unsigned char* image);
  // Replaces the payload with a copy of length bytes (none for 0). False when the copy cannot
  // be allocated; the packet then holds no payload.
  bool setPayload(const void* bytes, std::uint32_t length);
  // Frees the payload; length becomes 0.
  void clearPayload();

  char type[4];
  char senderName[8];
  char senderHost[16];
  std::uint32_t timestamp;
  std::int32_t sequence;
  std::uint32_t length;
  unsigned char* payload;
  std::uint32_t headerSize;
};

// Reads a big-endian 32-bit number from four bytes.
std::uint32_t readBigEndian32(const unsigned char* bytes);

// Where the two sender fields (name, then host) lie in a wire image, and their size together.
inline constexpr std::size_t SENDER_FIELDS_OFFSET = 4;
inline constexpr std::size_t SENDER_FIELDS_SIZE = 24;

// Writes the SENDER_FIELDS_SIZE bytes of the sender fields as serialize would: the name cut to
// 8 bytes and the host to 16, each padded with NUL bytes.
void formatSenderFields(unsigned char* fields, const char* name, const char* host);

// Framing on a byte stream, for every reader of packets: the size of the whole packet at the
// front of bytes (HEADER_SIZE plus its payload length) once its header is there; 0 while fewer
// than HEADER_SIZE bytes are available; -1 when the header claims a payload larger than
// MAX_PAYLOAD_SIZE, which no reader accepts.
std::int32_t framedPacketSize(const unsigned char* bytes, std::size_t available);
