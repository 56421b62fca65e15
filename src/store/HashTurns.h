// HashTurns: how many password hashes are checked at once. Checking one costs tens of
// milliseconds and up to 130 MiB by design; a thousand connections logging in together must
// not run a thousand of them side by side. A login waits for a turn with no other lock held.
//
// Owns: the count of free turns, under its own std::mutex: innermost, held only to count, never
// across a hash or a wait for anything but a turn.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class HashTurns {
 public:
  // At most `most` hashes at once (at least one).
  explicit HashTurns(int most) : free_(most < 1 ? 1 : most) {}

  // Waits for a turn and takes it (true), or gives up once stopping() says so (false, no turn
  // taken); stopping is asked at least every 50 ms while the caller waits.
  template <typename Stopping>
  bool take(Stopping stopping) {
    std::unique_lock<std::mutex> hold(lock_);
    while (free_ == 0) {
      if (stopping()) return false;
      freed_.wait_for(hold, std::chrono::milliseconds(50));
    }
    --free_;
    return true;
  }
  // Gives back a turn that take() gave.
  void give() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      ++free_;
    }
    freed_.notify_one();
  }

 private:
  std::mutex lock_;
  std::condition_variable freed_;
  int free_;
};
