#include "platform/windows/WindowsApi.h"

#include "platform/Socket.h"

#include <algorithm>
#include <atomic>
#include <chrono>

// The options that Windows 10 (1709) added for the keep-alive timing, where the headers do
// not know them yet.
#ifndef TCP_KEEPIDLE
#define TCP_KEEPIDLE 3
#endif
#ifndef TCP_KEEPCNT
#define TCP_KEEPCNT 16
#endif
#ifndef TCP_KEEPINTVL
#define TCP_KEEPINTVL 17
#endif
#ifndef SIO_KEEPALIVE_VALS
#define SIO_KEEPALIVE_VALS _WSAIOW(IOC_VENDOR, 4)
struct tcp_keepalive {
  u_long onoff;
  u_long keepalivetime;
  u_long keepaliveinterval;
};
#endif

namespace {

SOCKET native(SocketHandle handle) { return static_cast<SOCKET>(handle); }

}  // namespace

Bool16 Socket::shutdownBoth() {
  if (handle == INVALID_SOCKET_HANDLE) return 0;
  // Winsock shuts down only connected sockets, and does not wake a thread that waits on one:
  // the mark does both, for every wait of this backend.
  bool shut = ::shutdown(native(handle), SD_BOTH) == 0;
  if (!shut) {
    BOOL listening = FALSE;
    int length = sizeof listening;
    shut = ::getsockopt(native(handle), SOL_SOCKET, SO_ACCEPTCONN,
                        reinterpret_cast<char*>(&listening), &length) == 0 &&
           listening != FALSE;
  }
  if (!shut) return 0;
  shutDown_ = true;
  return 1;
}

Bool16 Socket::shutdownSend() {
  if (handle == INVALID_SOCKET_HANDLE) return 0;
  // Not marked: the socket still receives, and its waits go on.
  return ::shutdown(native(handle), SD_SEND) == 0 ? 1 : 0;
}

Bool16 Socket::setNonBlocking() {
  if (handle == INVALID_SOCKET_HANDLE) return 0;
  u_long on = 1;
  if (::ioctlsocket(native(handle), FIONBIO, &on) != 0) return 0;
  nonBlocking_ = true;
  return 1;
}

// Winsock's own mode stays non-blocking: this backend's blocking calls wait for the socket to
// be ready first, and then make a call that cannot block (see neverBlock in WindowsApi.h).
Bool16 Socket::setBlocking() {
  if (handle == INVALID_SOCKET_HANDLE) return 0;
  nonBlocking_ = false;
  return 1;
}

namespace {

// Waits with select, one socket in one set, in steps short enough to notice a shutdown made by
// another thread. A socket that has been shut down is "ready": the next call will not block,
// and it reports what happened.
Bool16 waitFor(SocketHandle handle, const std::atomic<bool>& shutDown, long seconds,
               long microseconds, bool forWriting) {
  if (handle == INVALID_SOCKET_HANDLE) return 0;
  long long total = static_cast<long long>(seconds) * 1000000 + microseconds;
  if (total < 0) total = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(total);
  for (;;) {
    if (shutDown) return 1;
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left < 0) left = 0;
    long long step = std::min<long long>(left, WAIT_STEP_MILLISECONDS * 1000LL);
    fd_set set;
    FD_ZERO(&set);
    FD_SET(native(handle), &set);
    timeval time{static_cast<long>(step / 1000000), static_cast<long>(step % 1000000)};
    int ready = ::select(0, forWriting ? nullptr : &set, forWriting ? &set : nullptr, nullptr,
                         &time);
    if (ready < 0) return 0;
    if (ready > 0) return FD_ISSET(native(handle), &set) ? 1 : 0;
    if (left <= step) return 0;
  }
}

}  // namespace

Bool16 Socket::waitReadable(long seconds, long microseconds) {
  return waitFor(handle, shutDown_, seconds, microseconds, false);
}

Bool16 Socket::waitWritable(long seconds, long microseconds) {
  return waitFor(handle, shutDown_, seconds, microseconds, true);
}

Bool16 Socket::setOption(int level, int option, const void* value, int length) {
  if (handle == INVALID_SOCKET_HANDLE || length < 0) return 0;
  return ::setsockopt(native(handle), level, option, static_cast<const char*>(value), length) == 0
             ? 1
             : 0;
}

Bool16 Socket::getOption(int level, int option, void* value, int* length) {
  if (handle == INVALID_SOCKET_HANDLE || length == nullptr || *length < 0) return 0;
  return ::getsockopt(native(handle), level, option, static_cast<char*>(value), length) == 0 ? 1
                                                                                           : 0;
}

namespace {

// Winsock takes the two time-outs as milliseconds in a 32-bit integer; the interface speaks in
// whole seconds.
Bool16 setTimeout(Socket& socket, int option, int seconds) {
  if (seconds < 0) return 0;
  DWORD milliseconds = seconds > static_cast<int>(MAXDWORD / 1000)
                           ? MAXDWORD
                           : static_cast<DWORD>(seconds) * 1000;
  return socket.setOption(SOL_SOCKET, option, &milliseconds, sizeof milliseconds);
}

int getTimeout(Socket& socket, int option) {
  DWORD milliseconds = 0;
  int length = sizeof milliseconds;
  if (!socket.getOption(SOL_SOCKET, option, &milliseconds, &length)) return -1;
  return static_cast<int>((milliseconds + 999) / 1000);
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
  if (handle == INVALID_SOCKET_HANDLE || idleSeconds <= 0 || intervalSeconds <= 0) return 0;
  if (setTcpInt(*this, TCP_KEEPIDLE, idleSeconds) &&
      setTcpInt(*this, TCP_KEEPINTVL, intervalSeconds) &&
      setTcpInt(*this, TCP_KEEPCNT, probes)) {
    return 1;
  }
  // Before Windows 10 (1709) only the two times can be set, for a connection that has
  // keep-alive on; the number of probes is the system's (ten).
  tcp_keepalive values{1, static_cast<u_long>(idleSeconds) * 1000,
                       static_cast<u_long>(intervalSeconds) * 1000};
  DWORD returned = 0;
  return ::WSAIoctl(native(handle), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0,
                    &returned, nullptr, nullptr) == 0
             ? 1
             : 0;
}
