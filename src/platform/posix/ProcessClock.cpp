#include "platform/ProcessClock.h"

#include <unistd.h>

long clockTicksPerSecond() {
  long ticks = ::sysconf(_SC_CLK_TCK);
  return ticks > 0 ? ticks : 100;
}
