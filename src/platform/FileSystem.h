// FileSystem: the questions about the data files that the standard library cannot answer: what
// kind of file a path names, who may read it, and creating a file without following a link.
// Thread safety: every function may be called from any thread.
#pragma once

// What createNewFile did.
enum class FileCreation {
  Created,  // a new empty file is there now
  Exists,   // something (a file, a folder, a symbolic link, even a dangling one) was there
  Failed    // nothing was created: no such folder, no permission, and the like
};

// Creates path as a new empty file with exactly the permission bits given (POSIX mode bits, not
// narrowed by the process's umask; the system ignores them where it has no such bits). Never
// opens what is already there and never follows a symbolic link: a link planted where the file
// should be is Exists, and its target is left alone.
FileCreation createNewFile(const char* path, unsigned mode);
// True when path names a regular file (following symbolic links): not a folder, device or pipe.
bool isRegularFile(const char* path);
// True when the file's group or other users may read it. Always false where files carry no such
// permission bits.
bool isReadableByOthers(const char* path);
