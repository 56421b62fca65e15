#include "platform/windows/WindowsApi.h"

#include "platform/EventPoller.h"

#include <algorithm>
#include <mutex>
#include <vector>

// One poller is a list of sockets handed to WSAPoll at each wait; handle_ is its place in a
// process-wide table (a Windows poller has no kernel object of its own to be named by).

namespace {

struct PollSet {
  std::vector<WSAPOLLFD> sockets;
  std::vector<void*> contexts;
  std::size_t next = 0;  // where the next report starts, so that no socket is always last
};

std::mutex& tableLock() {
  static std::mutex lock;
  return lock;
}

std::vector<PollSet*>& table() {
  static auto* sets = new std::vector<PollSet*>();
  return *sets;
}

PollSet* setOf(int handle) {
  std::lock_guard<std::mutex> guard(tableLock());
  if (handle < 0 || static_cast<std::size_t>(handle) >= table().size()) return nullptr;
  return table()[static_cast<std::size_t>(handle)];
}

SHORT toNative(std::uint32_t events) {
  SHORT native = 0;
  if (events & EventPoller::READABLE) native |= POLLRDNORM;
  if (events & EventPoller::WRITABLE) native |= POLLWRNORM;
  return native;
}

std::uint32_t fromNative(SHORT native) {
  std::uint32_t events = 0;
  if (native & POLLRDNORM) events |= EventPoller::READABLE;
  if (native & POLLWRNORM) events |= EventPoller::WRITABLE;
  if (native & (POLLERR | POLLNVAL)) events |= EventPoller::FAILED;
  if (native & POLLHUP) events |= EventPoller::HUNG_UP;
  return events;
}

std::ptrdiff_t find(const PollSet& set, SocketHandle socket) {
  for (std::size_t i = 0; i < set.sockets.size(); ++i) {
    if (set.sockets[i].fd == static_cast<SOCKET>(socket)) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

}  // namespace

EventPoller::EventPoller() : handle_(-1) {
  if (!ensureWinsock()) return;
  std::lock_guard<std::mutex> guard(tableLock());
  auto free = std::find(table().begin(), table().end(), nullptr);
  if (free == table().end()) free = table().insert(table().end(), nullptr);
  *free = new PollSet();
  handle_ = static_cast<int>(free - table().begin());
}

EventPoller::~EventPoller() {
  if (handle_ < 0) return;
  std::lock_guard<std::mutex> guard(tableLock());
  delete table()[static_cast<std::size_t>(handle_)];
  table()[static_cast<std::size_t>(handle_)] = nullptr;
}

Bool16 EventPoller::add(SocketHandle socket, std::uint32_t events, void* context) {
  PollSet* set = setOf(handle_);
  if (set == nullptr || socket == INVALID_SOCKET_HANDLE || find(*set, socket) >= 0) return 0;
  set->sockets.push_back(WSAPOLLFD{static_cast<SOCKET>(socket), toNative(events), 0});
  set->contexts.push_back(context);
  return 1;
}

Bool16 EventPoller::modify(SocketHandle socket, std::uint32_t events, void* context) {
  PollSet* set = setOf(handle_);
  if (set == nullptr) return 0;
  std::ptrdiff_t at = find(*set, socket);
  if (at < 0) return 0;
  set->sockets[static_cast<std::size_t>(at)].events = toNative(events);
  set->contexts[static_cast<std::size_t>(at)] = context;
  return 1;
}

Bool16 EventPoller::remove(SocketHandle socket) {
  PollSet* set = setOf(handle_);
  if (set == nullptr) return 0;
  std::ptrdiff_t at = find(*set, socket);
  if (at < 0) return 0;
  set->sockets.erase(set->sockets.begin() + at);
  set->contexts.erase(set->contexts.begin() + at);
  return 1;
}

int EventPoller::wait(Event* events, int capacity, int milliseconds) {
  PollSet* set = setOf(handle_);
  if (set == nullptr || events == nullptr || capacity <= 0) return -1;
  if (set->sockets.empty()) {
    // WSAPoll refuses an empty list; a wait on nothing is a plain sleep.
    if (milliseconds != 0) ::Sleep(milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds));
    return 0;
  }
  int ready = ::WSAPoll(set->sockets.data(), static_cast<ULONG>(set->sockets.size()),
                        milliseconds < 0 ? -1 : milliseconds);
  if (ready < 0) return -1;
  int filled = 0;
  const std::size_t count = set->sockets.size();
  const std::size_t start = set->next % count;
  for (std::size_t k = 0; k < count && filled < capacity; ++k) {
    const std::size_t i = (start + k) % count;
    if (set->sockets[i].revents == 0) continue;
    events[filled].events = fromNative(set->sockets[i].revents);
    events[filled].context = set->contexts[i];
    ++filled;
    set->next = i + 1;
  }
  return filled;
}
