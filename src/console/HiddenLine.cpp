#include "console/HiddenLine.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "console/ConsoleInput.h"
#include "core/Server.h"
#include "platform/Terminal.h"

namespace {

// Names the failing call the way perror does, then prints its error number.
void reportTerminalFailure() {
  errno = lastTerminalError();
  std::perror(lastTerminalCall());
  std::printf("%d\n", lastTerminalError());
}

}  // namespace

const char* readHiddenLine(const char* prompt, bool* tooLong) {
  static char hidden[MAX_PASSWORD_LENGTH + 1];
  if (tooLong != nullptr) *tooLong = false;
  const bool terminal = inputIsTerminal();
  if (terminal && !setInputEcho(false)) {
    reportTerminalFailure();
    return nullptr;
  }
  if (!terminal) {
    ConsoleInput::prompt(prompt);
  } else if (!writeTerminal(prompt)) {
    setInputEcho(true);
    reportTerminalFailure();
    return nullptr;
  }
  char line[TEXT_LINE_SIZE];
  bool cut = false;
  int length = ConsoleInput::readLine(line, sizeof line, &cut);
  // Whatever else was typed ahead on the terminal is not for the next question.
  if (terminal) discardPendingInput();
  if (!terminal) {
    std::printf("\n");
    std::fflush(stdout);
  } else if (!writeTerminal("\n")) {
    setInputEcho(true);
    reportTerminalFailure();
    return nullptr;
  }
  if (terminal && !setInputEcho(true)) {
    reportTerminalFailure();
    return nullptr;
  }
  if (length < 0) return nullptr;
  if (tooLong != nullptr) *tooLong = cut || length > MAX_PASSWORD_LENGTH;
  // Cut to the longest password kept (tooLong says so), the rest of the buffer zeroed.
  const std::size_t typed = std::strlen(line);
  const std::size_t kept = typed < MAX_PASSWORD_LENGTH ? typed : MAX_PASSWORD_LENGTH;
  std::memset(hidden, 0, sizeof hidden);
  std::memcpy(hidden, line, kept);
  return hidden;
}
