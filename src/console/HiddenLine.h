// readHiddenLine: one line from the console without echo, for passwords.
// Thread safety: the console thread only.
#pragma once

// Prints the prompt, reads one line with the terminal's echo switched off (and on again
// afterwards, on every path), and prints the line feed that the operator's Enter did not show.
// Keeps at most MAX_PASSWORD_LENGTH characters in a static buffer (overwritten by the next
// call) and sets *tooLong (when given) if the line was longer. When standard input is not a
// terminal there is nothing to hide and the line is read as it is. Returns null when the
// terminal cannot be switched (after printing the failing call and its error number) or when
// the console input has ended.
const char* readHiddenLine(const char* prompt, bool* tooLong = nullptr);
