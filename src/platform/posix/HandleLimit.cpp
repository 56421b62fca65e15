#include "platform/HandleLimit.h"

#include <sys/resource.h>

namespace {

long fromSystem(rlim_t value) {
  if (value == RLIM_INFINITY || value > static_cast<rlim_t>(HandleLimit::UNLIMITED)) {
    return HandleLimit::UNLIMITED;
  }
  return static_cast<long>(value);
}

}  // namespace

HandleLimit currentHandleLimit() {
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return {-1, -1};
  return {fromSystem(limit.rlim_cur), fromSystem(limit.rlim_max)};
}

HandleLimit raiseHandleLimit(long wanted) {
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return {-1, -1};
  if (wanted > 0 && fromSystem(limit.rlim_cur) < wanted) {
    struct rlimit raised = limit;
    // An unlimited hard limit still has the kernel's ceiling on open files behind it, which a
    // soft limit of "unlimited" would exceed: ask only for what is needed then.
    raised.rlim_cur =
        limit.rlim_max == RLIM_INFINITY ? static_cast<rlim_t>(wanted) : limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return {fromSystem(limit.rlim_cur), fromSystem(limit.rlim_max)};
}
