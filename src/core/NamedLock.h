// NamedLock: holds a named mutex for one scope and releases it when the scope ends (or earlier,
// through unlock). It either waits on a Mutex that outlives it, without a time-out (the server
// keeps its busiest mutexes open, so that a packet does not cost a lookup by name), or builds
// the Mutex of a name for the scope and waits for it a bounded time (a file mutex, which another
// process may hold): held() then says whether it was got. Every wait is checked against the lock
// order (core/LockOrder.h) where the checks are built in.
// Thread safety: one object per thread, as Mutex; a kept-open Mutex may be waited on by many.
#pragma once

#include <cstdint>
#include <optional>

#include "core/LockOrder.h"
#include "platform/Mutex.h"

class NamedLock {
 public:
  NamedLock(Mutex& mutex, LockRank rank) : mutex_(&mutex), rank_(rank) { take(INFINITE); }
  // Waits at most `milliseconds` for the file mutex of name.
  NamedLock(const char* name, std::uint32_t milliseconds)
      : own_(std::in_place, 0, name, nullptr), mutex_(&*own_), rank_(LockRank::File) {
    take(milliseconds);
  }
  ~NamedLock() { unlock(); }

  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;

  // True while the mutex is held: it was got, and not yet unlocked.
  bool held() const { return held_; }
  // What the wait returned: WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED.
  std::uint32_t waitResult() const { return waitResult_; }
  // The mutex waited on (for the reason a wait failed).
  const Mutex& mutex() const { return *mutex_; }

  // Releases now instead of at the end of the scope; a second call does nothing.
  void unlock() {
    if (held_) {
      mutex_->release();
      LockOrder::released(mutex_->getHandle());
    }
    held_ = false;
  }

 private:
  void take(std::uint32_t milliseconds) {
    LockOrder::acquiring(mutex_->getHandle(), rank_);
    waitResult_ = mutex_->wait(milliseconds);
    held_ = waitResult_ == WAIT_OBJECT_0;
    if (held_) LockOrder::acquired(mutex_->getHandle(), rank_);
  }

  std::optional<Mutex> own_;
  Mutex* mutex_;
  LockRank rank_;
  std::uint32_t waitResult_ = WAIT_FAILED;
  bool held_ = false;
};
