// Helpers for the tests of the lock folder behind file mutexes (POSIX only): the folder a
// process chooses under a base, a child process forked to run a part of a test under its own
// environment (a process chooses its lock folder once, so a test that needs another one runs
// in a child), and a stranger process that holds a lock file.
#pragma once

#include <chrono>
#include <functional>
#include <string>

// Milliseconds on the steady clock since start: how long a bounded wait took.
inline long long millisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

// "<base>/msgserver-locks-<effective uid>", the folder a process with that base chooses.
std::string lockFolderIn(const std::string& base);

// In a child: XDG_RUNTIME_DIR removed and TMPDIR set to base, before anything takes a mutex.
void useLockBase(const std::string& base);

// Runs body in a forked child, whose standard output goes to consolePath when one is given.
// The child's result (0-255) is its exit code; -1 when it did not end normally within the
// time-out (it is killed then).
int runForked(const std::function<int()>& body, const std::string& consolePath = "",
              std::chrono::milliseconds timeout = std::chrono::seconds(20));

// LockHolder: another process that takes the flock of a lock file, as a stranger to this
// process's mutexes would, and keeps it until release() or the holder's end. It keeps none of
// the test's other descriptors (a connection the test closes is closed).
class LockHolder {
 public:
  // Forks the child and waits (at most five seconds) until it holds the lock.
  explicit LockHolder(const std::string& lockFile);
  // Kills and reaps a child that is still there.
  ~LockHolder();

  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;

  bool holding() const { return holding_; }
  // The child lets the lock go and ends; true once it has been reaped.
  bool release();

 private:
  int pid_ = -1;
  int toChild_ = -1;
  bool holding_ = false;
};
