// ProcessClock: the unit in which the system accounts processor time to processes (what
// /proc/<pid>/stat counts utime and stime in).
// Thread safety: may be called from any thread.
#pragma once

// Clock ticks per second; 100 when the system does not say.
long clockTicksPerSecond();
