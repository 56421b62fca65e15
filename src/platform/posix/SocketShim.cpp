#include "platform/common/SocketShim.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// strerror_r comes in two kinds: the GNU one returns the text, the POSIX one fills the buffer.
[[maybe_unused]] const char* errorText(const char* result, const char*) { return result; }
[[maybe_unused]] const char* errorText(int result, const char* buffer) {
  return result == 0 ? buffer : "unknown error";
}

}  // namespace

namespace SocketShim {

void describeLastError(char* buffer, std::size_t size) {
  if (buffer == nullptr || size == 0) return;
  const int code = errno;
  char text[128] = "";
  std::snprintf(buffer, size, "%s", errorText(::strerror_r(code, text, sizeof text), text));
}

bool ready() { return true; }

SocketHandle openTcp() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return fd < 0 ? INVALID_SOCKET_HANDLE : fd;
}

bool closeHandle(SocketHandle handle) { return ::close(static_cast<int>(handle)) == 0; }

bool bindHandle(SocketHandle handle, const sockaddr_in& address) {
  return ::bind(static_cast<int>(handle), reinterpret_cast<const sockaddr*>(&address),
                sizeof address) == 0;
}

int connectHandle(SocketHandle handle, const sockaddr_in& address) {
  int result;
  do {
    result = ::connect(static_cast<int>(handle), reinterpret_cast<const sockaddr*>(&address),
                       sizeof address);
  } while (result != 0 && errno == EINTR);
  if (result == 0) return 1;
  return errno == EINPROGRESS ? 0 : -1;
}

// Without address reuse a restart must wait for the old connections' TIME_WAIT to pass; a port
// held by another listener still refuses the bind.
void prepareListener(SocketHandle handle) {
  int on = 1;
  ::setsockopt(static_cast<int>(handle), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

bool listenHandle(SocketHandle handle, int backlog) {
  return ::listen(static_cast<int>(handle), backlog) == 0;
}

bool endAddress(SocketHandle handle, bool remote, sockaddr_in* address) {
  socklen_t length = sizeof *address;
  auto* name = reinterpret_cast<sockaddr*>(address);
  return (remote ? ::getpeername(static_cast<int>(handle), name, &length)
                 : ::getsockname(static_cast<int>(handle), name, &length)) == 0;
}

// A descriptor needs nothing more to be read and written as the interface does.
bool prepareStream(SocketHandle) { return true; }

}  // namespace SocketShim
