#include "platform/windows/WindowsApi.h"

#include "platform/StreamSocket.h"

#include <algorithm>
#include <atomic>
#include <chrono>

namespace {

SOCKET native(SocketHandle handle) { return static_cast<SOCKET>(handle); }

// A time-out option of the socket (SO_RCVTIMEO or SO_SNDTIMEO) in milliseconds; 0 for none.
DWORD timeoutOf(SocketHandle handle, int option) {
  DWORD milliseconds = 0;
  int length = sizeof milliseconds;
  if (::getsockopt(native(handle), SOL_SOCKET, option, reinterpret_cast<char*>(&milliseconds),
                   &length) != 0) {
    return 0;
  }
  return milliseconds;
}

// Waits until the socket can be read from (or written to) without blocking, in steps that
// notice a shutdown by another thread, for at most the socket's own time-out. False when the
// socket was shut down, the time-out passed or the wait failed.
bool waitUntilReady(SocketHandle handle, const std::atomic<bool>& shutDown, bool forWriting) {
  const DWORD timeout = timeoutOf(handle, forWriting ? SO_SNDTIMEO : SO_RCVTIMEO);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
  for (;;) {
    if (shutDown) return false;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(native(handle), &set);
    timeval step{0, WAIT_STEP_MILLISECONDS * 1000};
    int ready = ::select(0, forWriting ? nullptr : &set, forWriting ? &set : nullptr, nullptr,
                         &step);
    if (ready != 0) return ready > 0;
    if (timeout != 0 && std::chrono::steady_clock::now() >= deadline) return false;
  }
}

// One send that does not block (the socket is in Winsock's non-blocking mode): bytes accepted,
// 0 when none could be taken now, -1 on error.
std::int32_t sendWithoutBlocking(SocketHandle handle, const char* data, std::int32_t length,
                                 int flags) {
  int sent = ::send(native(handle), data, length, flags);
  if (sent == SOCKET_ERROR) return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
  return sent;
}

}  // namespace

// Winsock does not wake a receive or a send that blocks on a socket that another thread shuts
// down. In the interface's blocking mode both wait for readiness first (waitUntilReady), with
// the socket's own time-out, and then make a call that cannot block.

std::int32_t StreamSocket::receive(void* buffer, std::int32_t length, int flags) {
  if (handle == INVALID_SOCKET_HANDLE || length < 0) return -1;
  const bool blocking = !nonBlocking_;
  for (;;) {
    if (blocking && !waitUntilReady(handle, shutDown_, false)) return -1;
    int received = ::recv(native(handle), static_cast<char*>(buffer), length, flags);
    if (received != SOCKET_ERROR) return received;
    // Ready, then nothing after all (a reset that took the bytes back): a blocking receive
    // waits again.
    if (!blocking || ::WSAGetLastError() != WSAEWOULDBLOCK) return -1;
  }
}

std::int32_t StreamSocket::send(const void* data, std::int32_t length, int flags) {
  if (handle == INVALID_SOCKET_HANDLE || length < 0) return -1;
  if (nonBlocking_) {
    int sent = ::send(native(handle), static_cast<const char*>(data), length, flags);
    return sent == SOCKET_ERROR ? -1 : sent;
  }
  // A blocking send takes everything: what fits now, then the rest as room appears.
  const char* bytes = static_cast<const char*>(data);
  std::int32_t total = 0;
  for (;;) {
    std::int32_t sent = sendWithoutBlocking(handle, bytes + total, length - total, flags);
    if (sent < 0) return total > 0 ? total : -1;
    total += sent;
    if (total == length) return total;
    if (!waitUntilReady(handle, shutDown_, true)) return total > 0 ? total : -1;
  }
}

std::int32_t StreamSocket::sendNow(const void* data, std::int32_t length) {
  if (handle == INVALID_SOCKET_HANDLE || length < 0) return -1;
  return sendWithoutBlocking(handle, static_cast<const char*>(data), length, 0);
}

int StreamSocket::waitForData(int milliseconds) { return waitFor(milliseconds, false); }

int StreamSocket::waitForDataOrRoom(int milliseconds) { return waitFor(milliseconds, true); }

int StreamSocket::waitFor(int milliseconds, bool orRoom) {
  if (handle == INVALID_SOCKET_HANDLE) return -1;
  const bool forever = milliseconds < 0;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(forever ? 0 : milliseconds);
  for (;;) {
    // Given up by another thread (shutdownBoth): nothing more will be read here.
    if (shutDown_) return -1;
    long long left = WAIT_STEP_MILLISECONDS;
    if (!forever) {
      left = std::chrono::duration_cast<std::chrono::milliseconds>(
                 deadline - std::chrono::steady_clock::now())
                 .count();
      if (left < 0) left = 0;
    }
    long long step = std::min<long long>(left, WAIT_STEP_MILLISECONDS);
    fd_set set;
    FD_ZERO(&set);
    FD_SET(native(handle), &set);
    fd_set room;
    FD_ZERO(&room);
    if (orRoom) FD_SET(native(handle), &room);
    timeval time{0, static_cast<long>(step * 1000)};
    int ready = ::select(0, &set, orRoom ? &room : nullptr, nullptr, &time);
    if (ready < 0) return -1;
    if (ready > 0 && !FD_ISSET(native(handle), &set)) return 2;  // room only
    if (ready > 0) break;
    if (!forever && left <= step) return 0;
  }
  // Readable: bytes are waiting, or the peer has closed (and everything it sent has been read
  // once a peek finds nothing), or the connection failed.
  char byte;
  int waiting = ::recv(native(handle), &byte, 1, MSG_PEEK);
  if (waiting > 0) return 1;
  if (waiting == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK) return 0;
  return -1;
}

std::int32_t StreamSocket::unacknowledgedBytes() {
  // Winsock reports what is in flight (SIO_TCP_INFO), but not what still waits in the socket's
  // own send buffer for room in the peer's window: it cannot say that the peer has it all.
  return -1;
}
