#include "platform/StandardInput.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

int waitForStandardInput(int milliseconds) {
  pollfd entry{STDIN_FILENO, POLLIN, 0};
  int ready = ::poll(&entry, 1, milliseconds < 0 ? -1 : milliseconds);
  if (ready < 0) return errno == EINTR ? 0 : -1;
  if (ready == 0) return 0;
  // A hang-up or an error is readable too: the next read reports the end or the failure.
  return 1;
}

long readStandardInput(char* buffer, std::size_t size) {
  if (buffer == nullptr || size == 0) return -1;
  ssize_t got;
  do {
    got = ::read(STDIN_FILENO, buffer, size);
  } while (got < 0 && errno == EINTR);
  return static_cast<long>(got);
}
