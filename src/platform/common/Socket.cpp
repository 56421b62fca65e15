// The part of Socket that is the same on every system: its address fields, closing and
// binding over the socket shim, and the options that carry a plain integer (or the linger
// pair), set through setOption and getOption with each system's own constants. Shutting down,
// the blocking mode, waiting, the time-outs and the keep-alive timing are each backend's.
#include "platform/common/SocketShim.h"

#include "platform/Socket.h"

#include <cstring>

#include "platform/Network.h"

void copyAddressText(char (&field)[16], const char* text) {
  std::memset(field, 0, sizeof field);
  if (text == nullptr) return;
  std::size_t length = std::strlen(text);
  std::memcpy(field, text, length < sizeof field - 1 ? length : sizeof field - 1);
}

Socket::Socket()
    : localPort(0),
      localAddress{},
      handle(INVALID_SOCKET_HANDLE),
      nonBlocking_(false),
      shutDown_(false) {}

Socket::Socket(std::uint16_t port) : Socket() { localPort = port; }

Socket::Socket(std::uint16_t port, const char* address) : Socket(port) {
  copyAddressText(localAddress, address);
}

Socket::~Socket() {
  if (handle != INVALID_SOCKET_HANDLE) close();
}

Bool16 Socket::close() {
  if (handle == INVALID_SOCKET_HANDLE) return 0;
  if (!SocketShim::closeHandle(handle)) return 0;
  handle = INVALID_SOCKET_HANDLE;
  nonBlocking_ = false;
  shutDown_ = false;
  return 1;
}

bool Socket::bindLocal() {
  std::uint32_t address = localAddress[0] != '\0' ? ::inet_addr(localAddress) : htonl(INADDR_ANY);
  return SocketShim::bindHandle(handle, SocketShim::ipv4Address(localPort, address));
}

void Socket::setLocalAddress(const char* address) { copyAddressText(localAddress, address); }

char* Socket::getLocalAddress(char* buffer, std::size_t size) {
  if (localAddress[0] == '\0') {
    char resolved[16];
    if (resolveOwnAddress(resolved)) copyAddressText(localAddress, resolved);
  }
  if (buffer == nullptr || size == 0) return buffer;
  std::strncpy(buffer, localAddress, size - 1);
  buffer[size - 1] = '\0';
  return buffer;
}

namespace {

Bool16 setInt(Socket& socket, int level, int option, int value) {
  return socket.setOption(level, option, &value, sizeof value);
}

int getInt(Socket& socket, int option) {
  int value = 0;
  int length = sizeof value;
  if (!socket.getOption(SOL_SOCKET, option, &value, &length)) return -1;
  return value;
}

int getTcpInt(Socket& socket, int option) {
  int value = 0;
  int length = sizeof value;
  if (!socket.getOption(IPPROTO_TCP, option, &value, &length)) return -1;
  return value;
}

}  // namespace

Bool16 Socket::setReceiveBufferSize(int bytes) { return setInt(*this, SOL_SOCKET, SO_RCVBUF, bytes); }
Bool16 Socket::setSendBufferSize(int bytes) { return setInt(*this, SOL_SOCKET, SO_SNDBUF, bytes); }
Bool16 Socket::setReceiveLowWater(int bytes) { return setInt(*this, SOL_SOCKET, SO_RCVLOWAT, bytes); }
Bool16 Socket::setSendLowWater(int bytes) { return setInt(*this, SOL_SOCKET, SO_SNDLOWAT, bytes); }

Bool16 Socket::setLinger(std::uint16_t on, std::uint16_t seconds) {
  linger value{on, seconds};
  return setOption(SOL_SOCKET, SO_LINGER, &value, sizeof value);
}

int Socket::getReceiveBufferSize() { return getInt(*this, SO_RCVBUF); }
int Socket::getSendBufferSize() { return getInt(*this, SO_SNDBUF); }
int Socket::getReceiveLowWater() { return getInt(*this, SO_RCVLOWAT); }
int Socket::getSendLowWater() { return getInt(*this, SO_SNDLOWAT); }

Bool16 Socket::setNoDelay(Bool16 on) { return setInt(*this, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0); }
Bool16 Socket::setKeepAlive(Bool16 on) { return setInt(*this, SOL_SOCKET, SO_KEEPALIVE, on ? 1 : 0); }
Bool16 Socket::getKeepAlive() { return getInt(*this, SO_KEEPALIVE) > 0 ? 1 : 0; }
Bool16 Socket::getNoDelay() { return getTcpInt(*this, TCP_NODELAY) > 0 ? 1 : 0; }
