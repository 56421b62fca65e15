// StandardInput: raw, unbuffered reading of standard input with a bounded wait, for a program
// that must notice other events (a connection that ended) while it waits for a typed line.
// The C library's buffered reading cannot be combined with a wait: bytes it has buffered are
// invisible to the wait, so a program uses either these functions or stdio for its input.
// Thread safety: one reading thread.
#pragma once

#include <cstddef>

// Waits at most the given time (negative: without limit) until standard input can be read
// without blocking, its end included: 1 then, 0 on a time-out, -1 when the wait fails.
int waitForStandardInput(int milliseconds);
// One read of standard input: the number of bytes read, 0 at its end, -1 on failure. An
// interrupted read is repeated.
long readStandardInput(char* buffer, std::size_t size);
