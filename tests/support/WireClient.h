// WireClient: the test's end of a TCP connection on 127.0.0.1, speaking the packet format with
// the server's own Packet code. Every read is bounded by a time-out.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/ServerSocket.h"
#include "platform/StreamSocket.h"
#include "protocol/Packet.h"

// A connected pair on loopback: the server's end (heap, for a ConnectionSlot to own) and the
// client's end.
struct LoopbackPair {
  LoopbackPair();
  StreamSocket* server = nullptr;  // owned by whoever takes it
  std::unique_ptr<StreamSocket> client;
};

// The bytes of a packet's wire image, built field by field (for writing hostile input too).
std::string wireImage(const std::string& type, const std::string& senderName,
                      const std::string& payload, std::int32_t sequence = 0,
                      const std::string& senderHost = "", std::uint32_t timestamp = 0);

class WireClient {
 public:
  using Milliseconds = std::chrono::milliseconds;

  // Takes over a connected socket.
  explicit WireClient(std::unique_ptr<StreamSocket> socket);
  // Connects to host:port; connected() tells whether it worked.
  explicit WireClient(std::uint16_t port, const char* host = "127.0.0.1");

  bool connected() const { return socket_ != nullptr && socket_->handle >= 0; }
  StreamSocket& socket() { return *socket_; }

  // Reads exactly count bytes; false on a time-out or a close.
  bool readBytes(std::string& bytes, std::size_t count, Milliseconds timeout = Milliseconds(5000));
  // Reads one whole packet into packet; false on a time-out or a close.
  bool readPacket(Packet& packet, Milliseconds timeout = Milliseconds(5000));
  // Reads one packet and returns its type and payload as "TYPE:payload" ("TYPE" alone when it
  // has none), or "" on a time-out or close.
  std::string next(Milliseconds timeout = Milliseconds(5000));
  // Reads packets until one of the type arrives (into packet); false on a time-out or close.
  bool skipTo(const std::string& type, Packet& packet, Milliseconds timeout = Milliseconds(5000));
  // True once the server has closed the connection (everything it sent before is dropped).
  bool closedByPeer(Milliseconds timeout = Milliseconds(5000));
  // True when nothing arrives within the time.
  bool silentFor(Milliseconds time);

  bool sendRaw(const std::string& bytes);
  // Sends a packet with the payload given as it is (add the 0xFD terminator yourself).
  bool send(const std::string& type, const std::string& payload, const std::string& senderName = "");
  // Sends a text payload with its 0xFD terminator.
  bool sendText(const std::string& type, const std::string& text,
                const std::string& senderName = "");
  void close() { socket_.reset(); }

  // Logs in on a connection whose LEVL has not been read yet: reads up to LEVL, sends USER
  // with the name (then 0xFF and the password when one is given or the level asks for one),
  // then reads up to and including CONN. False at a time-out, a close, a QUIT or a LERR.
  // Every packet read, the empty one of a failed read too, goes to seen as next() gives it.
  bool logIn(const std::string& name, const std::string& password = "",
             const std::function<void(const std::string&)>& seen = nullptr);

 private:
  // Waits until the socket has bytes (or the end) to read; false at the deadline or with no
  // socket.
  bool readableBefore(std::chrono::steady_clock::time_point deadline);

  std::unique_ptr<StreamSocket> socket_;
};

// The payload of a packet as a string, with or without its last byte.
std::string payloadOf(const Packet& packet);
std::string textOf(const Packet& packet);
