// LockHolder: holds one of the server's mutexes on a thread of its own, so that a test can see
// what the server does while it cannot have it. The lock is let go by release, by the end of
// the holder, or after 10 s at the latest; the thread is always joined.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "ServiceFixture.h"
#include "core/NamedLock.h"

class LockHolder {
 public:
  // The mutex of the name (as the server names it).
  explicit LockHolder(std::string name)
      : thread_([this, name = std::move(name)] {
          NamedLock lock(name.c_str(), INFINITE);
          hold();
        }) {}
  // A mutex the server keeps open, at its rank.
  LockHolder(Mutex& mutex, LockRank rank)
      : thread_([this, &mutex, rank] {
          NamedLock lock(mutex, rank);
          hold();
        }) {}
  ~LockHolder() { release(); }

  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;

  // True once the thread holds the lock (waits for it, within the usual bound).
  bool held() { return waitUntil([this] { return held_.load(); }); }
  void release() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  void hold() {
    held_ = true;
    for (int i = 0; i < 1000 && !done_; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  std::atomic<bool> held_{false};
  std::atomic<bool> done_{false};
  std::thread thread_;  // last: it starts once the flags exist
};
