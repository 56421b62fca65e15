// MessageBody: what msgbench writes into the body of every message it sends, so that the
// receiving end can tell who sent it, to whom it was meant to go, its place in the sender's
// series and when it left. Fixed-width text ("mb", then sender, recipient, sequence and send
// time in hexadecimal, then filler), so that a message can be stamped in place in a prepared
// wire image and read back without parsing the whole payload.
#pragma once

#include <cstddef>
#include <cstdint>

class MessageBody {
 public:
  // The fields take this many bytes; a body may be longer (filler follows).
  static constexpr std::size_t FIELDS_SIZE = 2 + 4 + 4 + 8 + 16;
  // The recipient number of a message to everyone.
  static constexpr std::uint32_t EVERYONE = 0xFFFF;

  // The fields of a message that leaves now: sentAt is nowNanoseconds().
  static MessageBody leavingNow(std::uint32_t sender, std::uint32_t recipient,
                                std::uint32_t sequence);

  // Writes the fields into the first FIELDS_SIZE bytes at `at`.
  void write(unsigned char* at) const;
  // Reads the fields from a body of `size` bytes; false when it is not one of ours.
  bool read(const unsigned char* at, std::size_t size);
  // Finds the body in a routed packet's wire image (the bytes after the first RECIPIENTS_END,
  // without the final PAYLOAD_END) and reads it; false when there is none or it is not ours.
  bool readFromImage(const unsigned char* image, std::size_t size);

  std::uint32_t sender = 0;     // user number, 0xFFFF at most
  std::uint32_t recipient = 0;  // user number, or EVERYONE
  std::uint32_t sequence = 0;   // the sender's count of its messages
  std::uint64_t sentAt = 0;     // nowNanoseconds() when it was queued
};
