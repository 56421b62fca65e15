// The receive path: framing, packets that arrive in pieces, and hostile lengths. The input is
// a byte stream that a client writes to a slot's connection in pieces; between the pieces the
// slot's receivePacket is called for every packet that is whole by then, so it never waits.
// Every packet it returns must be exactly the next one of the stream; a header that claims
// more than the largest payload must end the connection; and once the client has closed (or
// the login time has run out) the stream must end without waiting.
//
// Input: byte 0 picks the piece sizes, byte 1 how the stream ends; the rest is the stream.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "platform/SocketPair.h"

namespace {

// Far below a socket pair's buffer, so that writing a piece never blocks.
constexpr std::size_t kMaxStream = 16384;

FuzzServer& harness() {
  static FuzzServer* instance = new FuzzServer(1);
  return *instance;
}

// The piece sizes follow a small cycle picked by the input: from single bytes up to a few
// packets at a time, so that headers and payloads are cut at every offset.
std::size_t pieceSize(std::uint8_t plan, std::size_t index) {
  static const std::size_t kBase[] = {1, 2, 3, 7, 39, 40, 41, 100, 1023, 1024, 1025, 4096};
  std::size_t base = kBase[plan % (sizeof kBase / sizeof kBase[0])];
  std::size_t step = (plan >> 4) & 0x7;
  return base + (index * step) % (base + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2 || size - 2 > kMaxStream) return 0;
  const std::uint8_t plan = data[0];
  const std::uint8_t ending = data[1];
  const std::uint8_t* stream = data + 2;
  const std::size_t total = size - 2;

  FuzzServer& fuzz = harness();
  fuzz.reset();
  StreamSocket& client = fuzz.connect(0);
  ConnectionSlot* slot = fuzz.slot(0);
  Packet packet;

  // The pieces are sent only when the server is about to read: what it finds then is exactly
  // what the pieces would have put there, and the connection never holds many small sends
  // (each costs far more of its buffer than its bytes).
  std::size_t written = 0;   // bytes of the stream that the client has written so far
  std::size_t sent = 0;      // of those, the bytes already on the connection
  std::size_t consumed = 0;  // bytes of the stream that receivePacket has returned
  auto receive = [&]() {
    FUZZ_CHECK(sendAll(client, stream + sent, written - sent));
    sent = written;
    return fuzz.server.receivePacket(slot, &packet);
  };
  for (std::size_t piece = 0;; ++piece) {
    // Every packet that is whole by now comes out, exactly as it was written.
    for (;;) {
      std::int32_t whole = framedPacketSize(stream + consumed, written - consumed);
      if (whole < 0) {
        // A length beyond the largest payload: the connection ends, nothing is read.
        FUZZ_CHECK(receive() == -1);
        return 0;
      }
      if (whole == 0 || consumed + static_cast<std::size_t>(whole) > written) break;
      std::int32_t got = receive();
      FUZZ_CHECK(got == (whole == static_cast<std::int32_t>(HEADER_SIZE)
                             ? static_cast<std::int32_t>(HEADER_SIZE)
                             : whole - static_cast<std::int32_t>(HEADER_SIZE)));
      FUZZ_CHECK(packet.length <= MAX_PAYLOAD_SIZE);
      FUZZ_CHECK(packetMatches(packet, stream + consumed, static_cast<std::size_t>(whole)));
      consumed += static_cast<std::size_t>(whole);
    }
    if (written == total) break;
    std::size_t next = pieceSize(plan, piece);
    if (next > total - written) next = total - written;
    written += next;
  }
  FUZZ_CHECK(sendAll(client, stream + sent, written - sent));

  // What is left is part of a packet, or nothing: the receive must give up, not wait.
  switch (ending % 3) {
    case 0:  // the client closes its sending side but still listens
      FUZZ_CHECK(shutdownSending(client.handle));
      break;
    case 1:  // the client goes altogether
      client.close();
      break;
    default:  // the client stays, but the time to log in has run out
      slot->loginDeadline = 1;
      break;
  }
  FUZZ_CHECK(fuzz.server.receivePacket(slot, &packet) == -1);
  // The end is final: asking again does not wait either.
  FUZZ_CHECK(fuzz.server.receivePacket(slot, &packet) == -1);
  return 0;
}
