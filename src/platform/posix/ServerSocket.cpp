#include "platform/ServerSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

ServerSocket::ServerSocket(std::uint16_t port, std::uint16_t backlog_)
    : Socket(port), backlog(backlog_) {}

ServerSocket::ServerSocket(std::uint16_t port, const char* address, std::uint16_t backlog_)
    : Socket(port, address), backlog(backlog_) {}

ServerSocket::~ServerSocket() = default;

Bool16 ServerSocket::open() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    handle = INVALID_SOCKET_HANDLE;
    return 0;
  }
  handle = fd;
  // Without this a restart must wait for the old connections' TIME_WAIT to pass; a port held
  // by another listener still refuses the bind.
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (!bindLocal()) return 0;
  if (::listen(fd, backlog) != 0) return 0;
  return 1;
}

SocketHandle ServerSocket::accept(void* peerAddress) {
  if (handle == INVALID_SOCKET_HANDLE) return 0;
  sockaddr_in address{};
  socklen_t length = sizeof address;
  int fd;
  do {
    fd = ::accept4(static_cast<int>(handle), reinterpret_cast<sockaddr*>(&address), &length,
                   SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return 0;
  if (fd == 0) {
    // 0 means "nothing accepted" to every caller; move a connection that got descriptor 0
    // (standard input closed) out of its way.
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
    ::close(fd);
    if (moved < 0) return 0;
    fd = moved;
  }
  if (peerAddress != nullptr) std::memcpy(peerAddress, &address, sizeof address);
  return fd;
}

std::uint16_t ServerSocket::boundPort() {
  if (handle == INVALID_SOCKET_HANDLE) return 0;
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getsockname(static_cast<int>(handle), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return 0;
  return ntohs(address.sin_port);
}
