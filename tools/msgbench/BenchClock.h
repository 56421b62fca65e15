// BenchClock: the one clock of msgbench: a monotonic count of nanoseconds, read wherever a
// message leaves or arrives and wherever a deadline is checked. Only differences mean anything.
#pragma once

#include <chrono>
#include <cstdint>

inline std::uint64_t nowNanoseconds() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

inline std::uint64_t secondsToNanoseconds(double seconds) {
  return static_cast<std::uint64_t>(seconds * 1e9);
}
