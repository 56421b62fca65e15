#include "platform/common/SocketShim.h"

#include "platform/ServerSocket.h"

ServerSocket::ServerSocket(std::uint16_t port, std::uint16_t backlog_)
    : Socket(port), backlog(backlog_) {}

ServerSocket::ServerSocket(std::uint16_t port, const char* address, std::uint16_t backlog_)
    : Socket(port, address), backlog(backlog_) {}

ServerSocket::~ServerSocket() = default;

Bool16 ServerSocket::open() {
  handle = SocketShim::openTcp();
  if (handle == INVALID_SOCKET_HANDLE) return 0;
  SocketShim::prepareListener(handle);
  if (!bindLocal()) return 0;
  if (!SocketShim::listenHandle(handle, backlog)) return 0;
  return 1;
}

std::uint16_t ServerSocket::boundPort() {
  sockaddr_in address{};
  if (handle == INVALID_SOCKET_HANDLE || !SocketShim::endAddress(handle, false, &address)) return 0;
  return ntohs(address.sin_port);
}
