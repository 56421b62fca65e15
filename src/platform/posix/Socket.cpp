#include "platform/Socket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdint>

Bool16 Socket::shutdownBoth() {
  if (handle == INVALID_SOCKET_HANDLE) return 0;
  if (::shutdown(static_cast<int>(handle), SHUT_RDWR) != 0) return 0;
  shutDown_ = true;
  return 1;
}

Bool16 Socket::shutdownSend() {
  if (handle == INVALID_SOCKET_HANDLE) return 0;
  return ::shutdown(static_cast<int>(handle), SHUT_WR) == 0 ? 1 : 0;
}

Bool16 Socket::setNonBlocking() {
  int on = 1;
  return ::ioctl(static_cast<int>(handle), FIONBIO, &on) == 0 ? 1 : 0;
}

Bool16 Socket::setBlocking() {
  int off = 0;
  return ::ioctl(static_cast<int>(handle), FIONBIO, &off) == 0 ? 1 : 0;
}

namespace {

// Waits with poll rather than select: select cannot watch a descriptor numbered above its
// fixed set size, which a busy server reaches.
Bool16 waitFor(SocketHandle handle, long seconds, long microseconds, bool forWriting) {
  if (handle == INVALID_SOCKET_HANDLE) return 0;
  pollfd entry{static_cast<int>(handle), static_cast<short>(forWriting ? POLLOUT : POLLIN), 0};
  long long milliseconds = static_cast<long long>(seconds) * 1000 + (microseconds + 999) / 1000;
  if (milliseconds > INT32_MAX) milliseconds = INT32_MAX;
  int ready;
  do {
    ready = ::poll(&entry, 1, static_cast<int>(milliseconds));
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return 0;
  // A socket with an error or a hang-up is "ready": the next call will not block, and it
  // reports what happened.
  return 1;
}

}  // namespace

Bool16 Socket::waitReadable(long seconds, long microseconds) {
  return waitFor(handle, seconds, microseconds, false);
}

Bool16 Socket::waitWritable(long seconds, long microseconds) {
  return waitFor(handle, seconds, microseconds, true);
}

Bool16 Socket::setOption(int level, int option, const void* value, int length) {
  if (handle == INVALID_SOCKET_HANDLE || length < 0) return 0;
  return ::setsockopt(static_cast<int>(handle), level, option, value,
                      static_cast<socklen_t>(length)) == 0
             ? 1
             : 0;
}

Bool16 Socket::getOption(int level, int option, void* value, int* length) {
  if (handle == INVALID_SOCKET_HANDLE || length == nullptr || *length < 0) return 0;
  socklen_t size = static_cast<socklen_t>(*length);
  if (::getsockopt(static_cast<int>(handle), level, option, value, &size) != 0) return 0;
  *length = static_cast<int>(size);
  return 1;
}

namespace {

// The time-outs travel as the platform's own time value: whole seconds, no microseconds.
Bool16 setTimeout(Socket& socket, int option, int seconds) {
  timeval value{seconds, 0};
  return socket.setOption(SOL_SOCKET, option, &value, sizeof value);
}

int getTimeout(Socket& socket, int option) {
  timeval value{};
  int length = sizeof value;
  if (!socket.getOption(SOL_SOCKET, option, &value, &length)) return -1;
  return static_cast<int>(value.tv_sec);
}

Bool16 setTcpInt(Socket& socket, int option, int value) {
  return socket.setOption(IPPROTO_TCP, option, &value, sizeof value);
}

}  // namespace

Bool16 Socket::setReceiveTimeout(int seconds) { return setTimeout(*this, SO_RCVTIMEO, seconds); }
Bool16 Socket::setSendTimeout(int seconds) { return setTimeout(*this, SO_SNDTIMEO, seconds); }

int Socket::getReceiveTimeout() { return getTimeout(*this, SO_RCVTIMEO); }
int Socket::getSendTimeout() { return getTimeout(*this, SO_SNDTIMEO); }

int Socket::getKeepAliveIdle() {
  int value = 0;
  int length = sizeof value;
  return getOption(IPPROTO_TCP, TCP_KEEPIDLE, &value, &length) ? value : -1;
}

Bool16 Socket::setKeepAliveTiming(int idleSeconds, int intervalSeconds, int probes) {
  return (setTcpInt(*this, TCP_KEEPIDLE, idleSeconds) &&
          setTcpInt(*this, TCP_KEEPINTVL, intervalSeconds) &&
          setTcpInt(*this, TCP_KEEPCNT, probes))
             ? 1
             : 0;
}
