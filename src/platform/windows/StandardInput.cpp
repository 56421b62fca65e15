#include "platform/windows/WindowsApi.h"

#include "platform/StandardInput.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

// Windows cannot wait on standard input with a time-out in one way for every kind of it (a
// console signals every key and focus event, a pipe signals nothing). A reader thread does the
// reading instead, one read at a time and only while a caller wants input: it starts a read
// when a wait or a read finds nothing buffered, so that a read never begins before the caller
// is ready for it (a console read begun before a hidden question would echo its answer).

namespace {

struct Reader {
  std::mutex lock;
  std::condition_variable changed;
  std::string buffered;
  bool wanted = false;  // a caller waits for input and nothing is buffered
  bool ended = false;   // end of input or a failed read: reported once the buffer is empty
  bool failed = false;
  bool started = false;

  void run() {
    HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    for (;;) {
      {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [this] { return wanted && buffered.empty(); });
      }
      char chunk[4096];
      DWORD got = 0;
      BOOL read = input != INVALID_HANDLE_VALUE && input != nullptr &&
                  ::ReadFile(input, chunk, sizeof chunk, &got, nullptr);
      // A pipe whose writer has gone reports ERROR_BROKEN_PIPE: its end, as a read of 0 bytes.
      bool brokenPipe = !read && ::GetLastError() == ERROR_BROKEN_PIPE;
      std::lock_guard<std::mutex> guard(lock);
      if (read && got > 0) {
        buffered.append(chunk, got);
      } else {
        ended = true;
        failed = !read && !brokenPipe;
      }
      wanted = false;
      changed.notify_all();
      if (ended) return;
    }
  }

  // With the lock held: starts the thread once, and asks for a read when nothing is buffered.
  void want() {
    if (!started) {
      started = true;
      std::thread([this] { run(); }).detach();
    }
    if (buffered.empty() && !ended) {
      wanted = true;
      changed.notify_all();
    }
  }
};

Reader& reader() {
  static auto* instance = new Reader();  // the detached thread may outlive static destruction
  return *instance;
}

}  // namespace

int waitForStandardInput(int milliseconds) {
  Reader& input = reader();
  std::unique_lock<std::mutex> guard(input.lock);
  input.want();
  auto ready = [&input] { return !input.buffered.empty() || input.ended; };
  if (milliseconds < 0) {
    input.changed.wait(guard, ready);
  } else if (!input.changed.wait_for(guard, std::chrono::milliseconds(milliseconds), ready)) {
    return 0;
  }
  return 1;
}

long readStandardInput(char* buffer, std::size_t size) {
  if (buffer == nullptr || size == 0) return -1;
  Reader& input = reader();
  std::unique_lock<std::mutex> guard(input.lock);
  input.want();
  input.changed.wait(guard, [&input] { return !input.buffered.empty() || input.ended; });
  if (input.buffered.empty()) return input.failed ? -1 : 0;
  std::size_t count = input.buffered.size() < size ? input.buffered.size() : size;
  std::memcpy(buffer, input.buffered.data(), count);
  input.buffered.erase(0, count);
  return static_cast<long>(count);
}
