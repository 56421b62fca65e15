// AppendFile: a log kept open for appending. Every write goes to the end of the file in one
// system call, so lines from several threads or processes that append to the same file never
// run into each other. A log renamed away (to rotate it) is noticed by isAtPath, and reopening
// then starts a new file at the path.
// Thread safety: none inside; the owner serialises the calls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/PlatformTypes.h"

class AppendFile {
 public:
  AppendFile();
  ~AppendFile();

  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // Opens path for appending, creating it (readable by all, as the system's defaults allow)
  // when missing; closes what was open first. False (nothing open) when it cannot be opened.
  Bool16 open(const char* path);
  void close();
  bool isOpen() const;
  // True while the open file is still the one at path: false when the file was renamed or
  // removed since it was opened, or another file was put in its place.
  bool isAtPath(const char* path) const;
  // Appends the bytes in one call; false when they could not all be written.
  Bool16 append(const char* bytes, std::size_t length);

 private:
  // The open file: a descriptor, or a Windows handle, as an integer.
  std::intptr_t file_;
  // The open file's identity (device and file number), taken once at open where the system
  // gives it, so that isAtPath asks only about the path.
  std::uint64_t device_;
  std::uint64_t index_;
};
