// ConsoleInput: the operator's input, read from standard input, which may be a terminal or a
// pipe. Lines end at a line feed (a carriage return before it is dropped). End of input is a
// normal event: once seen, ended() stays true and every read reports it. A stop request
// (requestEnd, from another thread) ends the input early: the next read, or the one under way,
// reports the end, and the console unwinds as it does at the real end.
// Thread safety: the console thread reads; requestEnd, ended and isWaiting may be called from
// any thread.
#pragma once

#include <cstddef>

class ConsoleInput {
 public:
  // The first character of the next line, whatever it is ('\n' for an empty line), or -1 at
  // the end of input. The rest of the line stays for discardLine.
  static int readCharacter();
  // Reads and drops what is left of the current line, its line feed included.
  static void discardLine();
  // Reads one whole line without its terminator; NUL bytes in it are dropped, so the count is
  // always the length of the text. Keeps at most size - 1 characters, reads and drops the
  // rest, and sets *cut when it had to (cut may be null). Returns the number of characters
  // kept, or -1 at the end of input with nothing read.
  static int readLine(char* buffer, std::size_t size, bool* cut);
  // True once the end of input has been reached (or a requested end has been seen).
  static bool ended();
  // Makes the input end at the next read, whatever is left in it.
  static void requestEnd();
  // True while the console thread waits in a read of standard input: a read that an
  // interruption (StopSignal::interruptInput) would end.
  static bool isWaiting();
  // Prints a prompt (no line feed) and makes sure the operator sees it now.
  static void prompt(const char* text);
};
