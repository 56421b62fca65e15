// EventPoller: one readiness set over many sockets, for programs that serve many connections
// from one thread (the load generator). Each socket is registered with the events it waits for
// and a context pointer that comes back with its events. Level-triggered: a socket stays
// reported for as long as it is readable (or writable).
// Thread safety: none inside; one thread owns a poller.
#pragma once

#include <cstdint>

#include "platform/PlatformTypes.h"

class EventPoller {
 public:
  // What a socket waits for, and what a wait reports.
  static constexpr std::uint32_t READABLE = 0x1;
  static constexpr std::uint32_t WRITABLE = 0x2;
  // Reported whether asked for or not: the connection failed, or the peer has hung up.
  static constexpr std::uint32_t FAILED = 0x4;
  static constexpr std::uint32_t HUNG_UP = 0x8;

  struct Event {
    std::uint32_t events;
    void* context;
  };

  // Opens the set; valid() tells whether that worked.
  EventPoller();
  ~EventPoller();

  EventPoller(const EventPoller&) = delete;
  EventPoller& operator=(const EventPoller&) = delete;

  bool valid() const { return handle_ >= 0; }

  // Each false when the call fails (the set is then unchanged).
  Bool16 add(SocketHandle socket, std::uint32_t events, void* context);
  Bool16 modify(SocketHandle socket, std::uint32_t events, void* context);
  Bool16 remove(SocketHandle socket);

  // Waits at most milliseconds (-1: without limit) until a socket is ready and fills at most
  // capacity events: their count, 0 on a time-out or an interrupted wait, -1 on failure.
  int wait(Event* events, int capacity, int milliseconds);

 private:
  int handle_;
};
