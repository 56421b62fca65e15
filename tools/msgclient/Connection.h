// Connection: the client's TCP connection to the server, speaking whole packets in the
// server's own Packet format. One thread receives; any thread sends, and every send of a
// packet happens under one lock, so two packets never interleave on the stream.
// Thread safety: receive on one thread at a time; send, setSenderName and shutdown from any.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/StreamSocket.h"
#include "protocol/Packet.h"

namespace msgclient {

class Connection {
 public:
  Connection();
  ~Connection();

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Connects to a dotted-quad address; small packets go out at once (no coalescing), since
  // each is a whole message. False when the connection cannot be made.
  bool open(const char* address, std::uint16_t port);
  // Waits for the next whole packet: 1 with the packet filled, 0 when the server closed the
  // connection in order (bytes of an unfinished packet are dropped), -1 when the connection
  // failed or the server sent a header that claims more than the largest payload.
  int receive(Packet* packet);
  // Sends one packet of the type with this payload (already terminated, or empty for none),
  // stamped with the sender name, this end's address and the current time. False when the
  // payload is too large or the connection has failed; a packet is never sent in part
  // unless the connection fails in the middle of it.
  bool send(const char (&type)[5], std::string_view payload);
  // The name put in the header of every later packet: its first 8 bytes, as the server
  // reads them back to report undeliverable messages.
  void setSenderName(const std::string& name);
  // Ends both directions: a receive blocked in another thread returns at once.
  void shutdown();

 private:
  StreamSocket socket_;
  std::mutex sendLock_;  // every write to the socket; senderName_
  char senderName_[8];
  unsigned char received_[2 * MAX_WIRE_SIZE];
  std::size_t buffered_ = 0;
};

}  // namespace msgclient
