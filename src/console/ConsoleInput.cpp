#include "console/ConsoleInput.h"

#include <cstdio>

namespace {
bool inputEnded = false;
}  // namespace

int ConsoleInput::readCharacter() {
  std::fflush(stdout);
  int c = std::getchar();
  if (c == EOF) {
    inputEnded = true;
    return -1;
  }
  return c;
}

void ConsoleInput::discardLine() {
  for (;;) {
    int c = std::getchar();
    if (c == '\n') return;
    if (c == EOF) {
      inputEnded = true;
      return;
    }
  }
}

int ConsoleInput::readLine(char* buffer, std::size_t size, bool* cut) {
  std::fflush(stdout);
  if (cut != nullptr) *cut = false;
  std::size_t used = 0;
  bool any = false;
  for (;;) {
    int c = std::getchar();
    if (c == EOF) {
      inputEnded = true;
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

void ConsoleInput::prompt(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}
