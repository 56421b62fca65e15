#include "platform/windows/WindowsApi.h"

#include "platform/Network.h"

bool ensureWinsock() {
  // Never cleaned up: the process's end does that, after every socket of it is gone.
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

void keepFromChildren(SOCKET socket) {
  if (socket != INVALID_SOCKET) {
    ::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
  }
}

bool neverBlock(SOCKET socket) {
  u_long on = 1;
  return socket != INVALID_SOCKET && ::ioctlsocket(socket, FIONBIO, &on) == 0;
}

SOCKET openTcpSocket() {
  if (!ensureWinsock()) return INVALID_SOCKET;
  SOCKET socket = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                               WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (socket == INVALID_SOCKET) {
    // Systems before Windows 7 SP1 do not know the flag: clear the inheritance afterwards.
    socket = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
  }
  keepFromChildren(socket);
  return socket;
}

Bool16 startWinsock() {
  WSADATA data;
  if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) return 0;
  if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
    ::WSACleanup();
    return 0;
  }
  return 1;
}

Bool16 stopWinsock() { return ::WSACleanup() == 0 ? 1 : 0; }

std::uint32_t convertAddress(const char* text) {
  if (text == nullptr) return 0xFFFFFFFFu;
  return static_cast<std::uint32_t>(::inet_addr(text));
}

// Winsock takes SOMAXCONN as "as many as is reasonable" and sets no cap to report.
int largestListenBacklog() { return -1; }
