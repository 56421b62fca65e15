// The socket options that carry a plain integer (or the linger pair) on every system: the same
// calls through setOption and getOption, with each system's own constants. The time-outs and
// the keep-alive timing differ between systems and stay with each backend.
#ifdef _WIN32
#include "platform/windows/WindowsApi.h"
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

#include "platform/Socket.h"

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
