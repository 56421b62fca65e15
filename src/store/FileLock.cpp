#include "store/FileLock.h"

#include <cstdio>

#include "core/Server.h"

FileLock::FileLock(const char* kind, const char* path, std::uint32_t milliseconds)
    : kind_(kind), path_(path), lock_(path, milliseconds) {}

void FileLock::describeFailure(char* buffer, std::size_t size) const {
  if (lock_.waitResult() == WAIT_TIMEOUT) {
    std::snprintf(buffer, size, "Internal Error: Timed out waiting for the lock of %s file %s.",
                  kind_, path_);
    return;
  }
  char reason[PATH_TEXT_SIZE + 128];
  if (lock_.mutex().copyLockProblem(reason, sizeof reason) == nullptr) {
    std::snprintf(reason, sizeof reason, "its mutex could not be made");
  }
  std::snprintf(buffer, size, "Internal Error: Cannot lock %s file %s: %s.", kind_, path_, reason);
}
