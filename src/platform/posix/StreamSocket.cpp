#include "platform/StreamSocket.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#ifdef __linux__
#include <linux/sockios.h>
#endif

#include <cerrno>

std::int32_t StreamSocket::receive(void* buffer, std::int32_t length, int flags) {
  if (handle == INVALID_SOCKET_HANDLE || length < 0) return -1;
  ssize_t received;
  do {
    received = ::recv(static_cast<int>(handle), buffer, static_cast<std::size_t>(length), flags);
  } while (received < 0 && errno == EINTR);
  return static_cast<std::int32_t>(received);
}

std::int32_t StreamSocket::send(const void* data, std::int32_t length, int flags) {
  if (handle == INVALID_SOCKET_HANDLE || length < 0) return -1;
  ssize_t sent;
  do {
    sent = ::send(static_cast<int>(handle), data, static_cast<std::size_t>(length),
                  flags | MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return static_cast<std::int32_t>(sent);
}

std::int32_t StreamSocket::sendNow(const void* data, std::int32_t length) {
  if (handle == INVALID_SOCKET_HANDLE || length < 0) return -1;
  ssize_t sent;
  do {
    sent = ::send(static_cast<int>(handle), data, static_cast<std::size_t>(length),
                  MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
  return static_cast<std::int32_t>(sent);
}

int StreamSocket::waitForData(int milliseconds) { return waitFor(milliseconds, false); }

int StreamSocket::waitForDataOrRoom(int milliseconds) { return waitFor(milliseconds, true); }

int StreamSocket::waitFor(int milliseconds, bool orRoom) {
  if (handle == INVALID_SOCKET_HANDLE) return -1;
  pollfd entry{static_cast<int>(handle),
               static_cast<short>(POLLIN | POLLRDHUP | (orRoom ? POLLOUT : 0)), 0};
  int ready = ::poll(&entry, 1, milliseconds);
  if (ready < 0) return errno == EINTR ? 0 : -1;
  if (ready == 0) return 0;
  if (entry.revents & (POLLERR | POLLNVAL)) return -1;
  if ((entry.revents & (POLLIN | POLLRDHUP | POLLHUP)) == 0) return 2;  // room only
  if (entry.revents & (POLLRDHUP | POLLHUP)) {
    // The peer has closed its side; bytes it sent before may still be waiting. POLLIN alone
    // cannot tell: the end of the stream is readable too.
    char byte;
    ssize_t waiting;
    do {
      waiting = ::recv(static_cast<int>(handle), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (waiting < 0 && errno == EINTR);
    return waiting > 0 ? 1 : -1;
  }
  return 1;
}

std::int32_t StreamSocket::unacknowledgedBytes() {
  if (handle == INVALID_SOCKET_HANDLE) return -1;
#ifdef SIOCOUTQ
  int queued = 0;
  if (::ioctl(static_cast<int>(handle), SIOCOUTQ, &queued) != 0) return -1;
  return queued;
#else
  return -1;
#endif
}
