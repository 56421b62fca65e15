// BenchLoop: the one event loop of a scenario: a readiness set over all its connections, the
// dispatch of their events, and the sending of what they queued, once per connection per turn,
// so that several messages queued in one turn leave in one send.
// Thread safety: one thread runs a loop and every connection in it.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/EventPoller.h"

class BenchConnection;

class BenchLoop {
 public:
  BenchLoop();

  bool valid() const { return poller_.valid(); }
  EventPoller& poller() { return poller_; }

  // Waits at most milliseconds for events, handles them, then sends all queued output.
  void runOnce(int milliseconds);
  // Turns until done() holds (checked after every turn) or the deadline (nowNanoseconds)
  // passes; true when done() held.
  bool runUntil(const std::function<bool()>& done, std::uint64_t deadline);

  // A connection has output queued: it is flushed at the end of this turn.
  void wantFlush(BenchConnection* connection);
  // A connection is closing: nothing more is done for it in this turn's flush.
  void forget(BenchConnection* connection);

  // Events handled since the loop was made: grows while anything arrives.
  std::uint64_t eventsHandled() const { return eventsHandled_; }

 private:
  EventPoller poller_;
  std::vector<BenchConnection*> pending_;
  std::vector<BenchConnection*> flushing_;
  std::uint64_t eventsHandled_ = 0;
};
