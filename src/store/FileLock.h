// FileLock: the file mutex of one data file or log, named by the file's path, held for one
// operation. The wait is bounded: a lock folder that cannot be trusted, or another process that
// keeps the lock, costs the operation a report and never a hang (some file operations run under
// the users mutex, where a hang would freeze logins, routing and the operator's commands).
// Thread safety: one object per operation and thread, as NamedLock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/NamedLock.h"

class FileLock {
 public:
  // How long an operation waits for its file's lock. The error log waits less: it is written
  // after another file's wait has failed, and both waits together must leave a login answered
  // within five seconds.
  static constexpr std::uint32_t kWaitMilliseconds = 3000;
  static constexpr std::uint32_t kErrorLogWaitMilliseconds = 1000;
  // Room for a report with a whole configured path and a whole lock folder's path in it.
  static constexpr std::size_t kReportSize = 2 * 4096 + 256;

  // Waits for the mutex of path; kind names the file in reports ("passwd", "error log").
  FileLock(const char* kind, const char* path, std::uint32_t milliseconds = kWaitMilliseconds);

  bool held() const { return lock_.held(); }
  // Releases now; a second call does nothing.
  void unlock() { lock_.unlock(); }
  // Why the lock was not got, as the report the caller prints and logs:
  // "Internal Error: Timed out waiting for the lock of <kind> file <path>." or
  // "Internal Error: Cannot lock <kind> file <path>: <reason>.", cut to size - 1.
  void describeFailure(char* buffer, std::size_t size) const;

 private:
  const char* kind_;
  const char* path_;
  NamedLock lock_;
};
