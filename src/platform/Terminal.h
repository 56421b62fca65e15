// Terminal: what the console needs of the operator's terminal: whether standard input is one,
// switching its echo off and on for hidden entries, and writing a hidden entry's prompt.
// Thread safety: the console thread only.
#pragma once

// True when standard input is a terminal (not a pipe or a file).
bool inputIsTerminal();
// Switches echo of standard input on or off; false when standard input is not a terminal or
// the call fails (the error then names the failing call, see lastTerminalError).
bool setInputEcho(bool on);
// Drops what has been typed at the terminal but not yet read.
void discardPendingInput();
// Shows text to the operator at the terminal (after what standard output holds, so the two
// keep their order): a hidden entry's prompt, and the line feed that its Enter did not echo.
// False when that fails (the error then names the failing call).
bool writeTerminal(const char* text);
// The platform's code for the last failure of a call above, and the name of that call.
int lastTerminalError();
const char* lastTerminalCall();
