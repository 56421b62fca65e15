// KernelObject: owns one kernel handle and the name it was made under. Abstract: the only
// concrete kind is Mutex. The destructor closes the handle (never a null or invalid one) and
// frees the name; it does not release a mutex that the calling thread still owns.
// Thread safety: an object is used by one thread; what threads share is the kernel object
// behind a name.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/PlatformTypes.h"

class KernelObject {
 public:
  virtual ~KernelObject() = 0;

  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;

  // Copies at most size - 1 characters of the name, pads the rest with NULs and always ends
  // the buffer with a NUL. Returns the buffer, or null (buffer untouched) for an unnamed object.
  char* copyName(char* buffer, std::size_t size) const;
  HANDLE getHandle() const { return handle; }
  std::uint32_t getLastError() const { return lastError; }

  char* name;               // heap copy of the name, or null
  HANDLE handle;            // null before one is obtained; null or invalid after a failure
  std::uint32_t lastError;  // outcome of the platform call made at construction

 protected:
  // Stores a heap copy of the name (or null); handle null, lastError ERROR_INVALID_HANDLE.
  explicit KernelObject(const char* name);
};

// The hook that a failed create reports to. It records nothing and stops nothing: the caller
// learns of the failure from its wait, which fails (WAIT_FAILED) on a null handle.
void reportError(std::uint32_t code, const char* file, int line);
