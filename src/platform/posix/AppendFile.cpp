#include "platform/AppendFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

AppendFile::AppendFile() : file_(-1), device_(0), index_(0) {}

AppendFile::~AppendFile() { close(); }

Bool16 AppendFile::open(const char* path) {
  close();
  int fd;
  do {
    fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return 0;
  struct stat opened {};
  if (::fstat(fd, &opened) != 0) {
    ::close(fd);
    return 0;
  }
  file_ = fd;
  device_ = static_cast<std::uint64_t>(opened.st_dev);
  index_ = static_cast<std::uint64_t>(opened.st_ino);
  return 1;
}

void AppendFile::close() {
  if (file_ >= 0) ::close(static_cast<int>(file_));
  file_ = -1;
}

bool AppendFile::isOpen() const { return file_ >= 0; }

bool AppendFile::isAtPath(const char* path) const {
  if (file_ < 0) return false;
  struct stat named {};
  if (::stat(path, &named) != 0) return false;
  return static_cast<std::uint64_t>(named.st_dev) == device_ &&
         static_cast<std::uint64_t>(named.st_ino) == index_;
}

Bool16 AppendFile::append(const char* bytes, std::size_t length) {
  if (file_ < 0) return 0;
  ssize_t written;
  do {
    written = ::write(static_cast<int>(file_), bytes, length);
  } while (written < 0 && errno == EINTR);
  return written >= 0 && static_cast<std::size_t>(written) == length ? 1 : 0;
}
