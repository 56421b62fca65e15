// NamedLock: holds a named mutex for one scope: waits for it without a time-out and releases it
// when the scope ends (or earlier, through unlock). It either builds the Mutex of a name for
// the scope, or waits on a Mutex that outlives it (the server keeps the wrappers of its busiest
// mutexes open, so that a packet does not cost a lookup by name).
// Thread safety: one object per thread, as Mutex; a kept-open Mutex may be waited on by many.
#pragma once

#include <optional>

#include "platform/Mutex.h"

class NamedLock {
 public:
  explicit NamedLock(const char* name) : own_(std::in_place, 0, name, nullptr), mutex_(&*own_) {
    mutex_->wait(INFINITE);
  }
  explicit NamedLock(Mutex& mutex) : mutex_(&mutex) { mutex_->wait(INFINITE); }
  ~NamedLock() { unlock(); }

  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;

  // Releases now instead of at the end of the scope; a second call does nothing.
  void unlock() {
    if (held_) mutex_->release();
    held_ = false;
  }

 private:
  std::optional<Mutex> own_;
  Mutex* mutex_;
  bool held_ = true;
};
