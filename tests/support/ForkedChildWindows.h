// ForkedChild: what fork gives a test on Linux, for Windows, which cannot fork. The child is
// this test program started again for the same test, with a mark in its environment; it runs
// the test up to the point where the parent forked, then the child's part, and ends with that
// part's result as its exit code. A pipe each way carries single bytes between the two (the
// handles are kept as ints, as descriptors are on Linux).
// Thread safety: the test's thread only.
#pragma once

#include <chrono>
#include <string>

namespace ForkedChild {

// True in a child started by start().
bool isChild();
// In the child: the text the parent handed over, and its ends of the two pipes.
std::string handedText();
int childReadEnd();
int childWriteEnd();

// In the parent: two pipes (read end [0], write end [1]); false when they cannot be made.
bool openPipes(int (&toChild)[2], int (&toParent)[2]);
// Starts the child for the running test, handing it text and its two pipe ends
// (toChild[0], toParent[1]), which are closed here and set to -1. The child's process, or
// null when it cannot be started.
void* start(const std::string& text, int (&toChild)[2], int (&toParent)[2]);
// The child's exit code once it has ended, or -1 after the time-out; the process handle is
// closed and nulled when it has ended.
int reap(void*& process, std::chrono::milliseconds timeout);
// Ends a child that is still running and closes its handle.
void kill(void*& process);
// Closes a pipe end (if open) and sets it to -1.
void closeEnd(int& end);

bool sendByte(int end);
// Waits at most the time-out for one byte.
bool readByte(int end, std::chrono::milliseconds timeout);

// In the child: ends the process at once with the code, as the forked child's _exit does.
[[noreturn]] void exitChild(int code);

}  // namespace ForkedChild
