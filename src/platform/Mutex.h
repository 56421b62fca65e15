// Mutex: a named, recursive mutex shared by every thread that builds a Mutex of the same name.
// Ownership belongs to the thread: the owner may wait again without blocking and releases once
// per successful wait. Names that begin with this process's "%08x::" prefix stay inside the
// process; every other name (a data file's path) also excludes other processes that use the
// same name; on POSIX through a lock file in a folder only this user may use, and a name whose
// lock file cannot be used cannot be owned at all (its waits fail, copyLockProblem says why),
// and a lock file that another process keeps through a long timed wait is then only tried once
// per wait until it is seen free (see NamedMutexRegistry).
// The kernel object lives while any Mutex of its name exists.
// Usage everywhere: construct (false, name, nullptr), wait, work, release, destroy.
// Thread safety: one object per thread; the kernel object behind it is shared.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/KernelObject.h"

class Mutex : public KernelObject {
 public:
  // Creates the mutex or, when one of that name exists, opens it: lastError is 0 for a new
  // name and ERROR_ALREADY_EXISTS for an existing one. A null name makes an unnamed mutex.
  // With initialOwner set, the calling thread owns the mutex when the constructor returns.
  // attributes is accepted for interface compatibility and ignored.
  Mutex(Bool16 initialOwner, const char* name, void* attributes);
  // Opens an existing mutex only: on failure handle is null and lastError
  // ERROR_FILE_NOT_FOUND. inheritHandle and desiredAccess are accepted and ignored.
  Mutex(const char* name, Bool16 inheritHandle, std::uint32_t desiredAccess);
  ~Mutex() override;

  // Waits until the calling thread owns the mutex or the time-out (milliseconds, or INFINITE)
  // passes: WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED for an invalid handle or a shared name
  // whose lock file cannot be used (nothing is owned then).
  std::uint32_t wait(std::uint32_t milliseconds);
  // Gives up one level of ownership; false when the calling thread does not own the mutex.
  Bool16 release();
  // Why a wait fails with WAIT_FAILED for a valid handle: the lock folder or lock file and what
  // is wrong with it ("lock folder /tmp/msgserver-locks-1000 is owned by another user"), cut
  // to size - 1. Null (buffer untouched) when nothing is known to be wrong.
  char* copyLockProblem(char* buffer, std::size_t size) const;
  // True when mutexes shared with other processes can be owned now: their lock folder is made
  // when missing and must be this user's alone. Otherwise false with the reason in buffer, as
  // copyLockProblem words it.
  static Bool16 sharedNamesUsable(char* buffer, std::size_t size);
};
