// StartingLine: holds a number of threads until all of them have arrived, then lets them go at
// once, so that a test of concurrent calls really makes them concurrent. Plain mutex and
// condition variable: the standard library's latch for mingw-w64 (GCC 12) can lose the wake-up
// of a waiter and leave it waiting for ever.
#pragma once

#include <condition_variable>
#include <mutex>

class StartingLine {
 public:
  explicit StartingLine(int count) : waiting_(count) {}

  StartingLine(const StartingLine&) = delete;
  StartingLine& operator=(const StartingLine&) = delete;

  void arriveAndWait() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (--waiting_ <= 0) {
      allArrived_.notify_all();
      return;
    }
    allArrived_.wait(lock, [this] { return waiting_ <= 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable allArrived_;
  int waiting_;
};
