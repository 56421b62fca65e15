#include "platform/windows/WindowsApi.h"

#include "platform/AsyncConnect.h"

namespace {

void readLocalEnd(StreamSocket& socket) {
  sockaddr_in address{};
  int length = sizeof address;
  if (::getsockname(static_cast<SOCKET>(socket.handle), reinterpret_cast<sockaddr*>(&address),
                    &length) != 0 ||
      address.sin_family != AF_INET) {
    return;
  }
  char dotted[INET_ADDRSTRLEN];
  if (::inet_ntop(AF_INET, &address.sin_addr, dotted, sizeof dotted) == nullptr) return;
  socket.localPort = ntohs(address.sin_port);
  socket.setLocalAddress(dotted);
}

}  // namespace

int beginConnect(StreamSocket& socket) {
  SOCKET native = openTcpSocket();
  if (native == INVALID_SOCKET) {
    socket.handle = INVALID_SOCKET_HANDLE;
    return -1;
  }
  socket.handle = static_cast<SocketHandle>(native);
  if (!socket.setNonBlocking()) return -1;
  socket.setNoDelay(1);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(socket.peerPort);
  if (::inet_pton(AF_INET, socket.peerAddress, &address.sin_addr) != 1) return -1;
  if (socket.localPort != 0 || socket.localAddress[0] != '\0') {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(socket.localPort);
    if (socket.localAddress[0] == '\0') {
      local.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (::inet_pton(AF_INET, socket.localAddress, &local.sin_addr) != 1) {
      return -1;
    }
    if (::bind(native, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return -1;
  }
  if (::connect(native, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    readLocalEnd(socket);
    return 1;
  }
  return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

int finishConnect(StreamSocket& socket) {
  int error = 0;
  int length = sizeof error;
  if (!socket.getOption(SOL_SOCKET, SO_ERROR, &error, &length) || error != 0) return -1;
  readLocalEnd(socket);
  return 1;
}
