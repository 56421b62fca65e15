#include "platform/windows/WindowsApi.h"

#include "platform/Terminal.h"

#include <cstdio>
#include <cstring>

namespace {

DWORD lastError = 0;
const char* lastCall = "";

bool fail(const char* call) {
  lastError = ::GetLastError();
  lastCall = call;
  return false;
}

// The console input handle, when standard input is a console.
bool consoleInput(HANDLE* input, DWORD* mode) {
  *input = ::GetStdHandle(STD_INPUT_HANDLE);
  if (*input == INVALID_HANDLE_VALUE || *input == nullptr) return fail("GetStdHandle");
  if (!::GetConsoleMode(*input, mode)) return fail("GetConsoleMode");
  return true;
}

}  // namespace

bool inputIsTerminal() {
  HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  return input != INVALID_HANDLE_VALUE && input != nullptr && ::GetConsoleMode(input, &mode);
}

bool setInputEcho(bool on) {
  HANDLE input;
  DWORD mode = 0;
  if (!consoleInput(&input, &mode)) return false;
  // The console echoes only in line input, which the console keeps on throughout.
  mode = on ? (mode | ENABLE_ECHO_INPUT | ENABLE_LINE_INPUT) : (mode & ~ENABLE_ECHO_INPUT);
  if (!::SetConsoleMode(input, mode)) return fail("SetConsoleMode");
  return true;
}

void discardPendingInput() {
  HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  if (input == INVALID_HANDLE_VALUE || input == nullptr) return;
  if (!::FlushConsoleInputBuffer(input)) fail("FlushConsoleInputBuffer");
}

bool writeTerminal(const char* text) {
  std::fflush(stdout);
  HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == INVALID_HANDLE_VALUE || output == nullptr) return fail("GetStdHandle");
  DWORD mode = 0;
  if (!::GetConsoleMode(output, &mode)) {
    // Output to a file or a pipe while the operator types at the console: the console cannot
    // be written through that handle, and a prompt that always failed would ask for the
    // password without end. The prompt goes where all other output goes.
    std::fputs(text, stdout);
    std::fflush(stdout);
    return true;
  }
  const DWORD length = static_cast<DWORD>(std::strlen(text));
  DWORD written = 0;
  if (!::WriteConsoleA(output, text, length, &written, nullptr) || written != length) {
    return fail("WriteConsole");
  }
  return true;
}

int lastTerminalError() { return static_cast<int>(lastError); }
const char* lastTerminalCall() { return lastCall; }
