// StreamSocket: a connected TCP socket that also knows its remote end (port in host byte
// order, dotted-quad address of at most 15 characters).
// Thread safety: one receiving thread; senders serialise themselves with their own lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Socket.h"

class StreamSocket : public Socket {
 public:
  // Flag for receive: look at the waiting bytes without consuming them.
  static constexpr int PEEK = 0x2;

  StreamSocket();
  StreamSocket(std::uint16_t peerPort, const char* peerAddress);
  StreamSocket(std::uint16_t peerPort, const char* peerAddress, std::uint16_t localPort,
               const char* localAddress);
  // Adopts an accepted handle; both ends are read from it (port 0 and an empty address for an
  // end that cannot be determined).
  explicit StreamSocket(SocketHandle handle);
  // Adopts the handle; the peer from the arguments, the local end from the handle.
  StreamSocket(SocketHandle handle, std::uint16_t peerPort, const char* peerAddress);
  // Adopts the handle; every field from the arguments.
  StreamSocket(SocketHandle handle, std::uint16_t peerPort, const char* peerAddress,
               std::uint16_t localPort, const char* localAddress);
  ~StreamSocket() override;

  // One receive call: bytes received, 0 when the peer closed in order, -1 on error.
  std::int32_t receive(void* buffer, std::int32_t length, int flags);
  // One send call: bytes accepted, or -1. Never raises a signal for a peer that has gone.
  std::int32_t send(const void* data, std::int32_t length, int flags);
  // One send that never blocks: bytes accepted (perhaps fewer than length), 0 when none could
  // be taken without waiting, -1 on error. Never raises a signal.
  std::int32_t sendNow(const void* data, std::int32_t length);
  // Waits at most the given time for more bytes to read: 1 when there are some (also unread
  // ones from a peer that has closed since), 0 on a time-out, -1 when the peer has closed its
  // side and everything it sent has been read, or the socket failed.
  int waitForData(int milliseconds);
  // waitForData that also ends when the socket has room to send again: 2 when it has room and
  // no bytes are waiting to be read, otherwise as waitForData.
  int waitForDataOrRoom(int milliseconds);
  // The bytes sent on this connection that the peer has not acknowledged yet (those still
  // queued included, and the end of the stream once sending is shut down): 0 once the peer has
  // taken everything, -1 when the system does not say.
  std::int32_t unacknowledgedBytes();
  // Opens a connection from the local fields to the peer fields; false on failure (a socket
  // that was created stays open).
  Bool16 connect();

  void setPeerAddress(const char* address);
  // Copies at most size - 1 characters and always ends the buffer with a NUL.
  char* getPeerAddress(char* buffer, std::size_t size) const;

  std::uint16_t peerPort;
  char peerAddress[16];

 private:
  int waitFor(int milliseconds, bool orRoom);
};
