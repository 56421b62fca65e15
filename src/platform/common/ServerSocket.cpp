#include "platform/common/SocketShim.h"

#include "platform/ServerSocket.h"

ServerSocket::ServerSocket(std::uint16_t port, std::uint16_t backlog_)
    : Socket(port), backlog(backlog_), failure_{} {}

ServerSocket::ServerSocket(std::uint16_t port, const char* address, std::uint16_t backlog_)
    : Socket(port, address), backlog(backlog_), failure_{} {}

ServerSocket::~ServerSocket() = default;

Bool16 ServerSocket::open() {
  handle = SocketShim::openTcp();
  if (handle == INVALID_SOCKET_HANDLE) return fail();
  SocketShim::prepareListener(handle);
  if (!bindLocal()) return fail();
  if (!SocketShim::listenHandle(handle, backlog)) return fail();
  return 1;
}

Bool16 ServerSocket::fail() {
  SocketShim::describeLastError(failure_, sizeof failure_);
  return 0;
}

SocketHandle ServerSocket::accept(std::uint16_t* peerPort, char (&peerAddress)[16]) {
  sockaddr_in address{};
  const SocketHandle accepted = accept(&address);
  *peerPort = 0;
  peerAddress[0] = '\0';
  if (accepted != 0) SocketShim::spellEnd(address, peerPort, peerAddress);
  return accepted;
}

std::uint16_t ServerSocket::boundPort() {
  sockaddr_in address{};
  if (handle == INVALID_SOCKET_HANDLE || !SocketShim::endAddress(handle, false, &address)) return 0;
  return ntohs(address.sin_port);
}
