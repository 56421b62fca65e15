// The part of StreamSocket that is the same on every system: its constructors, connecting, and
// the peer's address fields. Sending, receiving and waiting are each backend's.
#include "platform/common/SocketShim.h"

#include "platform/StreamSocket.h"

#include <cstring>

static_assert(StreamSocket::PEEK == MSG_PEEK, "the peek flag must be the platform's");

StreamSocket::StreamSocket() : Socket(), peerPort(0), peerAddress{} {}

StreamSocket::StreamSocket(std::uint16_t peerPort_, const char* peerAddress_) : StreamSocket() {
  peerPort = peerPort_;
  copyAddressText(peerAddress, peerAddress_);
}

StreamSocket::StreamSocket(std::uint16_t peerPort_, const char* peerAddress_,
                           std::uint16_t localPort_, const char* localAddress_)
    : Socket(localPort_, localAddress_), peerPort(peerPort_), peerAddress{} {
  copyAddressText(peerAddress, peerAddress_);
}

StreamSocket::StreamSocket(SocketHandle handle_) : StreamSocket() {
  handle = handle_;
  if (handle != INVALID_SOCKET_HANDLE) SocketShim::prepareStream(handle);
  SocketShim::readEnd(handle, true, &peerPort, peerAddress);
  SocketShim::readEnd(handle, false, &localPort, localAddress);
}

StreamSocket::StreamSocket(SocketHandle handle_, std::uint16_t peerPort_, const char* peerAddress_)
    : StreamSocket(peerPort_, peerAddress_) {
  handle = handle_;
  if (handle != INVALID_SOCKET_HANDLE) SocketShim::prepareStream(handle);
  SocketShim::readEnd(handle, false, &localPort, localAddress);
}

StreamSocket::StreamSocket(SocketHandle handle_, std::uint16_t peerPort_, const char* peerAddress_,
                           std::uint16_t localPort_, const char* localAddress_)
    : StreamSocket(peerPort_, peerAddress_, localPort_, localAddress_) {
  handle = handle_;
  if (handle != INVALID_SOCKET_HANDLE) SocketShim::prepareStream(handle);
}

StreamSocket::~StreamSocket() = default;

Bool16 StreamSocket::connect() {
  handle = SocketShim::openTcp();
  if (handle == INVALID_SOCKET_HANDLE) return 0;
  if (!bindLocal()) return 0;
  sockaddr_in address = SocketShim::ipv4Address(peerPort, ::inet_addr(peerAddress));
  if (SocketShim::connectHandle(handle, address) != 1) return 0;
  if (!SocketShim::prepareStream(handle)) return 0;
  SocketShim::readEnd(handle, false, &localPort, localAddress);
  return 1;
}

void StreamSocket::setPeerAddress(const char* address) { copyAddressText(peerAddress, address); }

char* StreamSocket::getPeerAddress(char* buffer, std::size_t size) const {
  if (buffer == nullptr || size == 0) return buffer;
  std::strncpy(buffer, peerAddress, size - 1);
  buffer[size - 1] = '\0';
  return buffer;
}
