// NamedLock: holds a named mutex for one scope: builds the Mutex of the name, waits for it
// without a time-out, and releases it when the scope ends (or earlier, through unlock).
// Thread safety: one object per thread, as Mutex.
#pragma once

#include "platform/Mutex.h"

class NamedLock {
 public:
  explicit NamedLock(const char* name) : mutex_(0, name, nullptr), held_(true) {
    mutex_.wait(INFINITE);
  }
  ~NamedLock() { unlock(); }

  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;

  // Releases now instead of at the end of the scope; a second call does nothing.
  void unlock() {
    if (held_) mutex_.release();
    held_ = false;
  }

 private:
  Mutex mutex_;
  bool held_;
};
