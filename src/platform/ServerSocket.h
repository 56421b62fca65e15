// ServerSocket: a listening TCP socket on localPort (and localAddress when set).
// Thread safety: accept may block in one thread while another calls shutdownBoth to wake it;
// callers take turns at accept under their own lock.
#pragma once

#include <cstdint>

#include "platform/Socket.h"

class ServerSocket : public Socket {
 public:
  ServerSocket(std::uint16_t port, std::uint16_t backlog);
  ServerSocket(std::uint16_t port, const char* address, std::uint16_t backlog);
  ~ServerSocket() override;

  // Creates, binds and listens. Port reuse is allowed for connections that linger after a
  // stop, never for a port another listener holds. On failure the result is false, failure()
  // says why, and a socket that was created stays open in handle until close.
  Bool16 open();
  // Why the last open failed, in the system's words ("Address already in use"), without a
  // final full stop; empty before any failure.
  const char* failure() const { return failure_; }
  // Waits for one connection and returns its handle (the caller owns it), or 0 when the accept
  // fails, including on a listener that is closed or shut down. When peerAddress is not null,
  // the 16-byte IPv4 socket address of the remote end is copied to it.
  SocketHandle accept(void* peerAddress);
  // accept, with the peer's port (host order) and dotted address from the same call, so that
  // nobody need ask the system for them again; port 0 and an empty address when the peer is
  // not an IPv4 one.
  SocketHandle accept(std::uint16_t* peerPort, char (&peerAddress)[16]);
  // True where a connection accepted here starts with the options set on the listener
  // (TCP_NODELAY, keep-alive and its timing), so that they need be set once, on the listener.
  static bool acceptedTakeOptions();
  // The port the open listener is bound to (what the system chose for port 0); 0 when closed.
  std::uint16_t boundPort();

  std::uint16_t backlog;

 private:
  Bool16 fail();

  char failure_[160];
};
