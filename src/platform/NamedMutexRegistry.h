// NamedMutexRegistry: the process-wide table behind Mutex. A handle is an entry of the table;
// entries of the same name are one entry, counted by the handles open on it, and removed with
// the last. Ownership is recursive and belongs to a thread. Names that do not begin with this
// process's "%08x::" prefix also take an advisory lock on a lock file derived from the name
// while owned, so another process that uses the same name is excluded too.
// POSIX: the lock files live in "msgserver-locks-<euid>" in $XDG_RUNTIME_DIR, else $TMPDIR,
// else /tmp (a relative value is ignored), chosen once per process. The folder is made with
// mode 0700, and used only while it is a real folder of the effective user that nobody else
// may enter; a lock file only while it is a regular file of that user (links are not
// followed). A shared name whose lock file cannot be used cannot be owned: its waits fail
// with the reason kept for lockProblem, so a file is never left unguarded in silence.
// A lock file that another process kept through a timed wait of half a second or more is
// presumed still held: until a wait finds it free (or ten seconds pass without another failed try), timed
// waits for it try it once, so a stranger who keeps it costs one time-out, not one per wait.
// A forked child starts with none of its parent's entries and owns nothing of its parent's;
// it chooses its own lock folder.
// Thread safety: every operation may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/PlatformTypes.h"

class NamedMutexRegistry {
 public:
  // Creates or opens the entry of the name (a new unnamed one for null); *error is 0 for a new
  // entry and ERROR_ALREADY_EXISTS for an existing one. With initialOwner the caller owns it.
  static HANDLE create(const char* name, bool initialOwner, std::uint32_t* error);
  // Opens an existing entry; null and ERROR_FILE_NOT_FOUND when there is none.
  static HANDLE open(const char* name, std::uint32_t* error);
  // WAIT_OBJECT_0 once the calling thread owns the entry, WAIT_TIMEOUT after the time-out,
  // WAIT_FAILED (nothing owned) when its lock file cannot be used.
  static std::uint32_t wait(HANDLE handle, std::uint32_t milliseconds);
  // One level of ownership given up; false when the caller is not the owner.
  static bool release(HANDLE handle);
  // Closes one handle; the entry goes with its last handle.
  static void closeHandle(HANDLE handle);
  // Why the entry cannot be owned (its lock folder or lock file, and what is wrong with it),
  // cut to size - 1 and terminated; false (buffer untouched) when nothing is wrong with it.
  static bool lockProblem(HANDLE handle, char* buffer, std::size_t size);
  // True when the lock folder can be used (it is made when missing); otherwise false with the
  // reason in buffer, as lockProblem gives it. Always true where no folder is needed.
  static bool checkLockFolder(char* buffer, std::size_t size);
  // The lock file that stands for a shared name in this process's folder; empty where there
  // are none. For tests.
  static std::string lockFileOf(const char* name);
  // Number of live entries; for tests.
  static int liveEntries();
};
