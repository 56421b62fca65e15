#include "BenchLoop.h"

#include <algorithm>

#include "BenchClock.h"
#include "BenchConnection.h"

namespace {

constexpr int kEventsPerWait = 256;
// The longest single wait, so that deadlines and conditions are checked often enough.
constexpr int kLongestWaitMilliseconds = 10;

}  // namespace

BenchLoop::BenchLoop() {
  pending_.reserve(64);
  flushing_.reserve(64);
}

void BenchLoop::runOnce(int milliseconds) {
  EventPoller::Event events[kEventsPerWait];
  const int ready = poller_.wait(events, kEventsPerWait, milliseconds);
  if (ready > 0) eventsHandled_ += static_cast<std::uint64_t>(ready);
  for (int i = 0; i < ready; ++i) {
    static_cast<BenchConnection*>(events[i].context)->handle(events[i].events);
  }
  // Handling may queue more output (an answer, the next message); all of it leaves now.
  flushing_.swap(pending_);
  for (BenchConnection* connection : flushing_) connection->flush();
  flushing_.clear();
}

bool BenchLoop::runUntil(const std::function<bool()>& done, std::uint64_t deadline) {
  while (!done()) {
    const std::uint64_t now = nowNanoseconds();
    if (now >= deadline) return false;
    std::uint64_t left = (deadline - now) / 1000000;
    runOnce(left < kLongestWaitMilliseconds ? static_cast<int>(left) : kLongestWaitMilliseconds);
  }
  return true;
}

void BenchLoop::wantFlush(BenchConnection* connection) { pending_.push_back(connection); }

void BenchLoop::forget(BenchConnection* connection) {
  pending_.erase(std::remove(pending_.begin(), pending_.end(), connection), pending_.end());
}
