#include "console/ConsoleInput.h"

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace {

std::atomic<bool> inputEnded{false};
std::atomic<bool> endRequested{false};
std::atomic<bool> waiting{false};

// The next byte of input, or EOF at its end or once an end is requested. A read that an
// interruption ended without a request (a stray signal) is read again.
int nextByte() {
  for (;;) {
    if (endRequested) {
      inputEnded = true;
      return EOF;
    }
    waiting = true;
    const int c = std::getchar();
    waiting = false;
    if (c != EOF) return c;
    if (endRequested) {
      inputEnded = true;
      return EOF;
    }
    if (std::ferror(stdin) && errno == EINTR) {
      std::clearerr(stdin);
      continue;
    }
    inputEnded = true;
    return EOF;
  }
}

}  // namespace

int ConsoleInput::readCharacter() {
  std::fflush(stdout);
  return nextByte();
}

void ConsoleInput::discardLine() {
  for (;;) {
    int c = nextByte();
    if (c == '\n' || c == EOF) return;
  }
}

int ConsoleInput::readLine(char* buffer, std::size_t size, bool* cut) {
  std::fflush(stdout);
  if (cut != nullptr) *cut = false;
  std::size_t used = 0;
  bool any = false;
  for (;;) {
    int c = nextByte();
    if (c == EOF) {
      if (!any) {
        if (size > 0) buffer[0] = '\0';
        return -1;
      }
      break;
    }
    any = true;
    if (c == '\n') break;
    // A NUL would end the text early while the count went on: "\0" would pass for a name of
    // one character and reach the files as an empty one.
    if (c == '\0') continue;
    if (used + 1 < size) {
      buffer[used++] = static_cast<char>(c);
    } else if (cut != nullptr) {
      *cut = true;
    }
  }
  if (used > 0 && buffer[used - 1] == '\r') --used;
  if (size > 0) buffer[used] = '\0';
  return static_cast<int>(used);
}

bool ConsoleInput::ended() { return inputEnded; }

void ConsoleInput::requestEnd() { endRequested = true; }

bool ConsoleInput::isWaiting() { return waiting; }

void ConsoleInput::prompt(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}
