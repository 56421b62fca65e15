#include "platform/EventPoller.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

namespace {

// As many native events as one wait hands back; a caller with room for more waits again.
constexpr int kBatch = 256;

std::uint32_t toNative(std::uint32_t events) {
  std::uint32_t native = 0;
  if (events & EventPoller::READABLE) native |= EPOLLIN | EPOLLRDHUP;
  if (events & EventPoller::WRITABLE) native |= EPOLLOUT;
  return native;
}

std::uint32_t fromNative(std::uint32_t native) {
  std::uint32_t events = 0;
  if (native & EPOLLIN) events |= EventPoller::READABLE;
  if (native & EPOLLOUT) events |= EventPoller::WRITABLE;
  if (native & EPOLLERR) events |= EventPoller::FAILED;
  if (native & (EPOLLHUP | EPOLLRDHUP)) events |= EventPoller::HUNG_UP;
  return events;
}

Bool16 control(int set, int operation, SocketHandle socket, std::uint32_t events, void* context) {
  if (set < 0 || socket == INVALID_SOCKET_HANDLE) return 0;
  epoll_event entry{};
  entry.events = toNative(events);
  entry.data.ptr = context;
  return ::epoll_ctl(set, operation, static_cast<int>(socket), &entry) == 0 ? 1 : 0;
}

}  // namespace

EventPoller::EventPoller() : handle_(::epoll_create1(EPOLL_CLOEXEC)) {}

EventPoller::~EventPoller() {
  if (handle_ >= 0) ::close(handle_);
}

Bool16 EventPoller::add(SocketHandle socket, std::uint32_t events, void* context) {
  return control(handle_, EPOLL_CTL_ADD, socket, events, context);
}

Bool16 EventPoller::modify(SocketHandle socket, std::uint32_t events, void* context) {
  return control(handle_, EPOLL_CTL_MOD, socket, events, context);
}

Bool16 EventPoller::remove(SocketHandle socket) {
  return control(handle_, EPOLL_CTL_DEL, socket, 0, nullptr);
}

int EventPoller::wait(Event* events, int capacity, int milliseconds) {
  if (handle_ < 0 || events == nullptr || capacity <= 0) return -1;
  epoll_event native[kBatch];
  int ready = ::epoll_wait(handle_, native, capacity < kBatch ? capacity : kBatch, milliseconds);
  if (ready < 0) return errno == EINTR ? 0 : -1;
  for (int i = 0; i < ready; ++i) {
    events[i].events = fromNative(native[i].events);
    events[i].context = native[i].data.ptr;
  }
  return ready;
}
