// ServiceGate: whether the service is stopping, and which thread may still speak to clients
// then. A stop raises the gate once (beginStop) before it touches any client; from then on only
// the stopping thread may begin a send, and every worker leaves its cycle at its next step. The
// stop's one budget for its clients ends at stopDeadline().
// Owns: three atomics. Takes no lock: every operation may be called from any thread, with any
// lock held.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

class ServiceGate {
 public:
  ServiceGate() : halting_(false), stoppingThread_(), stopDeadline_(0) {}

  // A new service: nobody is stopping it.
  void open() {
    stoppingThread_ = std::thread::id();
    stopDeadline_ = 0;
    halting_ = false;
  }
  // The calling thread begins to stop the service; its clients must be done with by deadline
  // (steady-clock milliseconds). The deadline and the thread are published before the flag.
  void beginStop(std::int64_t deadline) {
    stoppingThread_ = std::this_thread::get_id();
    stopDeadline_ = deadline;
    halting_ = true;
  }

  bool halting() const { return halting_; }
  // True unless the service is stopping and the caller is not the stopping thread.
  bool mayStillSend() const {
    return !halting_ || stoppingThread_.load() == std::this_thread::get_id();
  }
  std::int64_t stopDeadline() const { return stopDeadline_; }

 private:
  std::atomic<bool> halting_;
  std::atomic<std::thread::id> stoppingThread_;
  std::atomic<std::int64_t> stopDeadline_;
};
