#include "platform/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

FileCreation createNewFile(const char* path, unsigned mode) {
  if (path == nullptr) return FileCreation::Failed;
  const mode_t bits = static_cast<mode_t>(mode & 07777);
  // O_EXCL alone already refuses a symbolic link, dangling or not; O_NOFOLLOW says so twice.
  int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, bits);
  if (fd < 0) return errno == EEXIST ? FileCreation::Exists : FileCreation::Failed;
  // The umask could only have narrowed the bits; the file gets what was asked for.
  ::fchmod(fd, bits);
  ::close(fd);
  return FileCreation::Created;
}

bool isRegularFile(const char* path) {
  struct stat status {};
  return path != nullptr && ::stat(path, &status) == 0 && S_ISREG(status.st_mode);
}

bool isReadableByOthers(const char* path) {
  struct stat status {};
  return path != nullptr && ::stat(path, &status) == 0 &&
         (status.st_mode & (S_IRGRP | S_IROTH)) != 0;
}
