#include "platform/windows/WindowsApi.h"

#include "platform/HandleLimit.h"

// Sockets are kernel handles here, bounded only by memory: there is no per-process limit to
// check or raise.
HandleLimit currentHandleLimit() { return {HandleLimit::UNLIMITED, HandleLimit::UNLIMITED}; }

HandleLimit raiseHandleLimit(long wanted) {
  (void)wanted;
  return currentHandleLimit();
}
