#include "platform/SocketPair.h"

#include <sys/socket.h>

Bool16 openSocketPair(SocketHandle (&ends)[2]) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  ends[0] = fds[0];
  ends[1] = fds[1];
  return 1;
}

Bool16 shutdownSending(SocketHandle handle) {
  if (handle == INVALID_SOCKET_HANDLE) return 0;
  return ::shutdown(static_cast<int>(handle), SHUT_WR) == 0 ? 1 : 0;
}
