// DataFile: one of the server's line-oriented data files (the password file, the hosts file)
// opened for one operation under its file mutex. The mutex is taken (a bounded wait, see
// FileLock) before the file is opened and released once it is closed, and always before anything is reported: reporting writes the
// error log, whose own mutex must never be taken inside a data file's. Only an operation that
// adds a record creates a missing file, under the mutex and never through a symbolic link; the
// readers never do (a login must not leave an empty password file behind). Appending is done in
// update mode, so a file removed meanwhile is not created again.
// Thread safety: one object per operation and thread; the file mutex orders them.
#pragma once

#include <cstdio>
#include <optional>

#include "store/FileLock.h"

class Server;

class DataFile {
 public:
  // For an operation that adds a record: how a missing file is created.
  struct Creation {
    const char* noun;  // in "Created <noun> file <path>."
    unsigned mode;     // its permission bits
  };

  // Takes the mutex of path and opens the file for reading; kind is "passwd" or "hosts". When
  // the mutex cannot be got, FileLock's report is printed and logged. When the file is missing
  // and creation is given, creates it empty with creation's mode and prints "Created <noun>
  // file <path>." first. When it cannot be opened, the mutex is released and "Internal Error:
  // <Kind> file <path> inaccessible." is printed and logged; isOpen() is then false.
  DataFile(Server& server, const char* kind, const char* path,
           const Creation* creation = nullptr);
  // Closes the file and releases the mutex, when the operation has not done so.
  ~DataFile();

  DataFile(const DataFile&) = delete;
  DataFile& operator=(const DataFile&) = delete;

  bool isOpen() const { return file_ != nullptr; }
  // Reading: the open file, from its start.
  std::FILE* file() const { return file_; }
  // Closes the file and releases the mutex now, before the caller reports something.
  void finish();
  // Ends the read and appends text and a line feed at the end of the file, starting a new line
  // first when the last one has no line feed (two records would run together). Closes the file
  // and releases the mutex. False, after reporting the file inaccessible, when it cannot be
  // written.
  bool append(const char* text);

 private:
  void reportInaccessible();

  Server& server_;
  const char* kind_;
  const char* path_;
  std::optional<FileLock> lock_;
  std::FILE* file_;
};
