#include "platform/common/SocketShim.h"

#include "platform/AsyncConnect.h"

int beginConnect(StreamSocket& socket) {
  socket.handle = SocketShim::openTcp();
  if (socket.handle == INVALID_SOCKET_HANDLE) return -1;
  if (!socket.setNonBlocking()) return -1;
  socket.setNoDelay(1);
  in_addr peer{};
  if (::inet_pton(AF_INET, socket.peerAddress, &peer) != 1) return -1;
  // Bound only when a local end is asked for; otherwise the system picks one as it connects.
  if (socket.localPort != 0 || socket.localAddress[0] != '\0') {
    in_addr local{};
    local.s_addr = htonl(INADDR_ANY);
    if (socket.localAddress[0] != '\0' && ::inet_pton(AF_INET, socket.localAddress, &local) != 1) {
      return -1;
    }
    sockaddr_in end = SocketShim::ipv4Address(socket.localPort, local.s_addr);
    if (!SocketShim::bindHandle(socket.handle, end)) return -1;
  }
  sockaddr_in address = SocketShim::ipv4Address(socket.peerPort, peer.s_addr);
  int connected = SocketShim::connectHandle(socket.handle, address);
  if (connected == 1) {
    SocketShim::readEnd(socket.handle, false, &socket.localPort, socket.localAddress);
  }
  return connected;
}

int finishConnect(StreamSocket& socket) {
  int error = 0;
  int length = sizeof error;
  if (!socket.getOption(SOL_SOCKET, SO_ERROR, &error, &length) || error != 0) return -1;
  SocketShim::readEnd(socket.handle, false, &socket.localPort, socket.localAddress);
  return 1;
}
