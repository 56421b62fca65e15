// ChildProcess: what it does with the output it has captured, the same on every system; the
// starting, the pipes and the waiting for the end are in ChildProcess.cpp (POSIX) and
// ChildProcessWindows.cpp.
#include "ChildProcess.h"

bool ChildProcess::waitFor(const std::string& text, std::chrono::milliseconds timeout) {
  return waitForCount(text, 1, timeout);
}

bool ChildProcess::waitForCount(const std::string& text, int count,
                                std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int found = 0;
    for (std::size_t at = captured_.find(text); at != std::string::npos;
         at = captured_.find(text, at + text.size())) {
      ++found;
    }
    if (found >= count) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    pump(std::chrono::milliseconds(20));
  }
}

const std::string& ChildProcess::output() {
  pump(std::chrono::milliseconds(0));
  return captured_;
}

std::string ChildProcess::outputSince(std::size_t mark) {
  const std::string& all = output();
  return mark < all.size() ? all.substr(mark) : std::string();
}
