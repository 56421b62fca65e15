// LogFile: one of the server's logs (the connection log, the error log), kept open for appending
// from its first line on, so that a line costs one write instead of a lock, an open and a close.
// Each line goes to the end of the file in one system call: lines from the server's threads,
// and from other processes appending to the same file, never run into each other. Before each
// line the file is checked to be still the one at the configured path; a log renamed away (to
// rotate it) or removed is closed, and the line starts a new file at the path.
// Locks: its own std::mutex, held to check the file and write one line, and nothing is taken
// under it; so a line may be logged while any of the server's mutexes is held.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>

#include "platform/AppendFile.h"

class LogFile {
 public:
  enum class Append { Written, Failed };

  LogFile() = default;
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Appends text and a line feed to the log at path, opening it first (and creating
  // it when missing) when nothing is open, when the path changed, or when the open file is no
  // longer the one at path. Failed when it cannot be opened or the line was not written whole;
  // the file is then closed, and the next line tries again.
  Append appendLine(const char* path, const char* text);
  // Closes the file (the service stopped); the next line opens it again.
  void close();

 private:
  std::mutex mutex_;
  AppendFile file_;
  std::string path_;  // the path file_ was opened at
  std::string line_;  // the line being written, kept for its capacity
};
