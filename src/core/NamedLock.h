// NamedLock: holds a named mutex for one scope: waits for it without a time-out and releases it
// when the scope ends (or earlier, through unlock). It either builds the Mutex of a name for
// the scope (a data file's mutex, named by its path), or waits on a Mutex that outlives it (the
// server keeps its busiest mutexes open, so that a packet does not cost a lookup by name). Every
// wait is checked against the lock order (core/LockOrder.h) where the checks are built in.
// Thread safety: one object per thread, as Mutex; a kept-open Mutex may be waited on by many.
#pragma once

#include <optional>

#include "core/LockOrder.h"
#include "platform/Mutex.h"

class NamedLock {
 public:
  // A data file's mutex, by its path.
  explicit NamedLock(const char* name)
      : own_(std::in_place, 0, name, nullptr), mutex_(&*own_), rank_(LockRank::File) {
    take();
  }
  NamedLock(Mutex& mutex, LockRank rank) : mutex_(&mutex), rank_(rank) { take(); }
  ~NamedLock() { unlock(); }

  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;

  // Releases now instead of at the end of the scope; a second call does nothing.
  void unlock() {
    if (held_) {
      mutex_->release();
      LockOrder::released(mutex_->getHandle());
    }
    held_ = false;
  }

 private:
  void take() {
    LockOrder::acquiring(mutex_->getHandle(), rank_);
    mutex_->wait(INFINITE);
    LockOrder::acquired(mutex_->getHandle(), rank_);
  }

  std::optional<Mutex> own_;
  Mutex* mutex_;
  LockRank rank_;
  bool held_ = true;
};
