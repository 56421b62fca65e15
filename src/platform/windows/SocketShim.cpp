#include "platform/common/SocketShim.h"

#include <cstdio>

namespace {

SOCKET native(SocketHandle handle) { return static_cast<SOCKET>(handle); }

}  // namespace

namespace SocketShim {

void describeLastError(char* buffer, std::size_t size) {
  if (buffer == nullptr || size == 0) return;
  const DWORD code = static_cast<DWORD>(::WSAGetLastError());
  DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, buffer, static_cast<DWORD>(size), nullptr);
  if (length == 0) {
    std::snprintf(buffer, size, "error %lu", static_cast<unsigned long>(code));
    return;
  }
  // The system's sentence ends in a full stop and CR LF; the caller ends its own sentence.
  while (length > 0 && (buffer[length - 1] == '\r' || buffer[length - 1] == '\n' ||
                        buffer[length - 1] == '.' || buffer[length - 1] == ' ')) {
    --length;
  }
  buffer[length] = '\0';
}

bool ready() { return ensureWinsock(); }

SocketHandle openTcp() {
  SOCKET socket = openTcpSocket();
  return socket == INVALID_SOCKET ? INVALID_SOCKET_HANDLE : static_cast<SocketHandle>(socket);
}

bool closeHandle(SocketHandle handle) { return ::closesocket(native(handle)) == 0; }

bool bindHandle(SocketHandle handle, const sockaddr_in& address) {
  return ::bind(native(handle), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

int connectHandle(SocketHandle handle, const sockaddr_in& address) {
  if (::connect(native(handle), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
    return 1;
  return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

// No SO_REUSEADDR: Windows lets a listener bind a port whose old connections linger after a stop
// without it, and with it would let this listener take a port that another one holds.
void prepareListener(SocketHandle) {}

bool listenHandle(SocketHandle handle, int backlog) {
  return ::listen(native(handle), backlog) == 0;
}

bool endAddress(SocketHandle handle, bool remote, sockaddr_in* address) {
  int length = sizeof *address;
  auto* name = reinterpret_cast<sockaddr*>(address);
  return (remote ? ::getpeername(native(handle), name, &length)
                 : ::getsockname(native(handle), name, &length)) == 0;
}

// A connection is made in Winsock's blocking mode, which gives it the system's own time-out;
// from then on the socket does not block (see neverBlock in WindowsApi.h).
bool prepareStream(SocketHandle handle) { return neverBlock(native(handle)); }

}  // namespace SocketShim
