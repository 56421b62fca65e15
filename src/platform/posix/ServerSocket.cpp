#include "platform/ServerSocket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

bool ServerSocket::acceptedTakeOptions() {
#ifdef __linux__
  return true;  // the accepted socket is a copy of the listener's
#else
  return false;
#endif
}
