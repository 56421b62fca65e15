#include "platform/windows/WindowsApi.h"

#include "platform/SocketPair.h"

// Windows has no socketpair: the pair is a TCP connection on loopback, made through a listener
// that exists only until the connection is accepted. Both ends are ordinary stream sockets.
Bool16 openSocketPair(SocketHandle (&ends)[2]) {
  SOCKET listener = openTcpSocket();
  if (listener == INVALID_SOCKET) return 0;
  SOCKET connecting = INVALID_SOCKET;
  SOCKET accepted = INVALID_SOCKET;
  bool made = false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  int length = sizeof address;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
      ::listen(listener, 1) == 0) {
    connecting = openTcpSocket();
    if (connecting != INVALID_SOCKET &&
        ::connect(connecting, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      // Only the connection just made may be taken: another program could connect to the
      // same port in between.
      sockaddr_in mine{};
      sockaddr_in theirs{};
      int mineLength = sizeof mine;
      int theirsLength = sizeof theirs;
      accepted = ::accept(listener, reinterpret_cast<sockaddr*>(&theirs), &theirsLength);
      made = accepted != INVALID_SOCKET &&
             ::getsockname(connecting, reinterpret_cast<sockaddr*>(&mine), &mineLength) == 0 &&
             mine.sin_port == theirs.sin_port && mine.sin_addr.s_addr == theirs.sin_addr.s_addr;
    }
  }
  ::closesocket(listener);
  if (!made) {
    if (accepted != INVALID_SOCKET) ::closesocket(accepted);
    if (connecting != INVALID_SOCKET) ::closesocket(connecting);
    return 0;
  }
  keepFromChildren(accepted);
  // A pair carries wake-ups of a byte or so: none may wait for the last one's acknowledgement.
  const BOOL on = TRUE;
  ::setsockopt(connecting, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  ::setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  ends[0] = static_cast<SocketHandle>(connecting);
  ends[1] = static_cast<SocketHandle>(accepted);
  return 1;
}

Bool16 shutdownSending(SocketHandle handle) {
  if (handle == INVALID_SOCKET_HANDLE) return 0;
  return ::shutdown(static_cast<SOCKET>(handle), SD_SEND) == 0 ? 1 : 0;
}
