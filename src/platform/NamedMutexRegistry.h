// NamedMutexRegistry: the process-wide table behind Mutex. A handle is an entry of the table;
// entries of the same name are one entry, counted by the handles open on it, and removed with
// the last. Ownership is recursive and belongs to a thread. Names that do not begin with this
// process's "%08x::" prefix also take an advisory lock on a lock file derived from the name
// while owned, so another process that uses the same name is excluded too.
// A forked child starts with none of its parent's entries and owns nothing of its parent's.
// Thread safety: every operation may be called from any thread.
#pragma once

#include <cstdint>

#include "platform/PlatformTypes.h"

class NamedMutexRegistry {
 public:
  // Creates or opens the entry of the name (a new unnamed one for null); *error is 0 for a new
  // entry and ERROR_ALREADY_EXISTS for an existing one. With initialOwner the caller owns it.
  static HANDLE create(const char* name, bool initialOwner, std::uint32_t* error);
  // Opens an existing entry; null and ERROR_FILE_NOT_FOUND when there is none.
  static HANDLE open(const char* name, std::uint32_t* error);
  // WAIT_OBJECT_0 once the calling thread owns the entry, WAIT_TIMEOUT after the time-out.
  static std::uint32_t wait(HANDLE handle, std::uint32_t milliseconds);
  // One level of ownership given up; false when the caller is not the owner.
  static bool release(HANDLE handle);
  // Closes one handle; the entry goes with its last handle.
  static void closeHandle(HANDLE handle);
  // Number of live entries; for tests.
  static int liveEntries();
};
