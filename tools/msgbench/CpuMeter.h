// CpuMeter: the processor time that the server (given its process id) and msgbench itself
// spend between start and stop, beside the wall-clock time. The server's time is its user and
// system time from /proc/<pid>/stat, summed over all its threads, in the system's clock ticks;
// msgbench's own is the C library's process clock.
// Thread safety: none; one scenario uses its own.
#pragma once

#include <cstdint>

class CpuMeter {
 public:
  // serverPid 0: no server figures.
  explicit CpuMeter(int serverPid);

  void start();
  void stop();

  // When start was called, on the BenchClock.
  std::uint64_t startedAt() const { return startedAt_; }
  double elapsedSeconds() const;
  // The server's processor time between start and stop; -1 when unknown.
  double serverSeconds() const;
  double ownSeconds() const;

 private:
  int serverPid_;
  std::uint64_t startedAt_, stoppedAt_;
  double serverAtStart_, serverAtStop_;
  double ownAtStart_, ownAtStop_;
};
