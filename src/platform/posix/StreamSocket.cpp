#include "platform/StreamSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/sockios.h>
#endif

#include <cerrno>
#include <cstring>

static_assert(StreamSocket::PEEK == MSG_PEEK, "the peek flag must be the platform's");

namespace {

// Reads one end of a connected handle; false (fields untouched) when it cannot be determined.
bool readEnd(int fd, bool remote, std::uint16_t* port, char (&text)[16]) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  int result = remote ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length)
                      : ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  if (result != 0 || address.sin_family != AF_INET) return false;
  char dotted[INET_ADDRSTRLEN];
  if (::inet_ntop(AF_INET, &address.sin_addr, dotted, sizeof dotted) == nullptr) return false;
  *port = ntohs(address.sin_port);
  copyAddressText(text, dotted);
  return true;
}

}  // namespace

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
  readEnd(static_cast<int>(handle), true, &peerPort, peerAddress);
  readEnd(static_cast<int>(handle), false, &localPort, localAddress);
}

StreamSocket::StreamSocket(SocketHandle handle_, std::uint16_t peerPort_, const char* peerAddress_)
    : StreamSocket(peerPort_, peerAddress_) {
  handle = handle_;
  readEnd(static_cast<int>(handle), false, &localPort, localAddress);
}

StreamSocket::StreamSocket(SocketHandle handle_, std::uint16_t peerPort_, const char* peerAddress_,
                           std::uint16_t localPort_, const char* localAddress_)
    : StreamSocket(peerPort_, peerAddress_, localPort_, localAddress_) {
  handle = handle_;
}

StreamSocket::~StreamSocket() = default;

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

int StreamSocket::waitForData(int milliseconds) {
  if (handle == INVALID_SOCKET_HANDLE) return -1;
  pollfd entry{static_cast<int>(handle), POLLIN | POLLRDHUP, 0};
  int ready = ::poll(&entry, 1, milliseconds);
  if (ready < 0) return errno == EINTR ? 0 : -1;
  if (ready == 0) return 0;
  if (entry.revents & (POLLERR | POLLNVAL)) return -1;
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

Bool16 StreamSocket::connect() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    handle = INVALID_SOCKET_HANDLE;
    return 0;
  }
  handle = fd;
  if (!bindLocal()) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(peerPort);
  address.sin_addr.s_addr = inet_addr(peerAddress);
  int result;
  do {
    result = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return 0;
  readEnd(fd, false, &localPort, localAddress);
  return 1;
}

void StreamSocket::setPeerAddress(const char* address) { copyAddressText(peerAddress, address); }

char* StreamSocket::getPeerAddress(char* buffer, std::size_t size) const {
  if (buffer == nullptr || size == 0) return buffer;
  std::strncpy(buffer, peerAddress, size - 1);
  buffer[size - 1] = '\0';
  return buffer;
}
