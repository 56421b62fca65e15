#include "platform/windows/WindowsApi.h"

#include "platform/ProcessClock.h"

// Windows accounts processor time (GetProcessTimes) in units of 100 nanoseconds.
long clockTicksPerSecond() { return 10000000L; }
