#include "platform/Terminal.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {
int lastError = 0;
const char* lastCall = "";

bool fail(const char* call) {
  lastError = errno;
  lastCall = call;
  return false;
}
}  // namespace

bool inputIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

bool setInputEcho(bool on) {
  termios mode{};
  if (::tcgetattr(STDIN_FILENO, &mode) != 0) return fail("tcgetattr");
  if (on) {
    mode.c_lflag |= ECHO;
  } else {
    mode.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  }
  if (::tcsetattr(STDIN_FILENO, TCSANOW, &mode) != 0) return fail("tcsetattr");
  return true;
}

void discardPendingInput() { ::tcflush(STDIN_FILENO, TCIFLUSH); }

// The terminal is standard output here, as for every other prompt.
bool writeTerminal(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
  return true;
}

int lastTerminalError() { return lastError; }
const char* lastTerminalCall() { return lastCall; }
