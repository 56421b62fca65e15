#include "platform/windows/WindowsApi.h"

#include "platform/ServerSocket.h"

#include <chrono>
#include <cstring>

SocketHandle ServerSocket::accept(void* peerAddress) {
  if (handle == INVALID_SOCKET_HANDLE) return 0;
  const SOCKET listener = static_cast<SOCKET>(handle);
  // The accept itself cannot be woken by a shutdown made by another thread: wait for a
  // connection in short steps instead, which also gives accept the receive time-out that
  // Winsock leaves to receives alone.
  DWORD timeout = 0;
  int length = sizeof timeout;
  if (::getsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&timeout),
                   &length) != 0) {
    timeout = 0;
  }
  const bool nonBlocking = nonBlocking_;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
  for (;;) {
    if (shutDown_) return 0;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(listener, &set);
    timeval step{0, nonBlocking ? 0 : WAIT_STEP_MILLISECONDS * 1000};
    int ready = ::select(0, &set, nullptr, nullptr, &step);
    if (ready < 0) return 0;
    if (ready > 0) break;
    if (nonBlocking) return 0;
    if (timeout != 0 && std::chrono::steady_clock::now() >= deadline) return 0;
  }
  sockaddr_in address{};
  int size = sizeof address;
  SOCKET accepted = ::accept(listener, reinterpret_cast<sockaddr*>(&address), &size);
  if (accepted == INVALID_SOCKET) return 0;
  // In the interface the handle is blocking, as on every other system (the StreamSocket that
  // takes it puts it in Winsock's non-blocking mode, see neverBlock in WindowsApi.h).
  keepFromChildren(accepted);
  if (peerAddress != nullptr) std::memcpy(peerAddress, &address, sizeof address);
  return static_cast<SocketHandle>(accepted);
}

// Winsock documents no such copy for the keep-alive timing: each connection gets its own.
bool ServerSocket::acceptedTakeOptions() { return false; }
