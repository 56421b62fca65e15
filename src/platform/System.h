// System: the few facts of the running process that the server needs, and local time as text.
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

std::uint32_t currentProcessId();
// A number for the calling thread, distinct among the live threads of the process.
std::uint32_t currentThreadId();
// Readies the process for about `count` threads at once, so that their waits and wake-ups
// stay cheap with that many: where the system keeps each process's table of waiting threads
// sized for its processors (16 lists on two, on Linux since 6.16), every wake-up would search
// lists of dozens or hundreds. Best effort: nothing happens where there is no such table.
void expectThreads(int count);
// Formats a time as local time (following the TZ setting) with a strftime format written in
// the server's own notation: "%#d" is the day of the month without a leading zero and "%z"
// the time-zone name; everything else is as strftime has it, in the C locale. Returns the
// number of characters written, 0 when they do not fit (the buffer then holds an empty text).
std::size_t formatLocalTime(char* buffer, std::size_t size, const char* format, std::time_t when);
