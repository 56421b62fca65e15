#include "platform/windows/WindowsApi.h"

#include "platform/windows/SocketStates.h"

#include <mutex>
#include <unordered_map>

namespace {

constexpr unsigned kNonBlocking = 0x1;
constexpr unsigned kShutDown = 0x2;

std::mutex& tableLock() {
  static std::mutex lock;
  return lock;
}

std::unordered_map<SocketHandle, unsigned>& table() {
  static auto* states = new std::unordered_map<SocketHandle, unsigned>();
  return *states;
}

void set(SocketHandle handle, unsigned flag, bool on) {
  if (handle == INVALID_SOCKET_HANDLE) return;
  std::lock_guard<std::mutex> guard(tableLock());
  auto found = table().find(handle);
  if (on) {
    if (found == table().end()) {
      table().emplace(handle, flag);
    } else {
      found->second |= flag;
    }
  } else if (found != table().end()) {
    found->second &= ~flag;
    if (found->second == 0) table().erase(found);
  }
}

bool has(SocketHandle handle, unsigned flag) {
  std::lock_guard<std::mutex> guard(tableLock());
  auto found = table().find(handle);
  return found != table().end() && (found->second & flag) != 0;
}

}  // namespace

namespace SocketStates {

void setNonBlocking(SocketHandle handle, bool on) { set(handle, kNonBlocking, on); }
bool isNonBlocking(SocketHandle handle) { return has(handle, kNonBlocking); }
void markShutDown(SocketHandle handle) { set(handle, kShutDown, true); }
bool isShutDown(SocketHandle handle) { return has(handle, kShutDown); }

void forget(SocketHandle handle) {
  std::lock_guard<std::mutex> guard(tableLock());
  table().erase(handle);
}

}  // namespace SocketStates
