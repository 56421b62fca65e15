// The steady clock as a count since its own epoch: for deadlines and rates, never for dates.
// Thread safety: both may be called from any thread.
#pragma once

#include <chrono>
#include <cstdint>

inline std::int64_t steadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

inline std::int64_t steadyMicroseconds() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
