#include "LockFolders.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

// The child's exit code, waiting at most until the deadline; -1 (killed) past it.
int reap(int pid, std::chrono::steady_clock::time_point deadline) {
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Closes every descriptor above standard error but two: a forked helper must not keep the
// test's connections open after the test has closed them.
void closeAllBut(int kept, int alsoKept) {
  long limit = ::sysconf(_SC_OPEN_MAX);
  if (limit < 0 || limit > 65536) limit = 65536;
  for (int fd = 3; fd < limit; ++fd) {
    if (fd != kept && fd != alsoKept) ::close(fd);
  }
}

}  // namespace

std::string lockFolderIn(const std::string& base) {
  return base + "/msgserver-locks-" + std::to_string(static_cast<unsigned long>(::geteuid()));
}

void useLockBase(const std::string& base) {
  ::unsetenv("XDG_RUNTIME_DIR");
  ::setenv("TMPDIR", base.c_str(), 1);
}

int runForked(const std::function<int()>& body, const std::string& consolePath,
              std::chrono::milliseconds timeout) {
  std::fflush(stdout);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const int pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (!consolePath.empty() && std::freopen(consolePath.c_str(), "w", stdout) == nullptr) {
      ::_exit(125);
    }
    const int result = body();
    std::fflush(stdout);
    ::_exit(result);
  }
  return reap(pid, deadline);
}

LockHolder::LockHolder(const std::string& lockFile) {
  int toChild[2];
  int toParent[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0) return;
  if (::pipe2(toParent, O_CLOEXEC) != 0) {
    ::close(toChild[0]);
    ::close(toChild[1]);
    return;
  }
  pid_ = ::fork();
  if (pid_ == 0) {
    closeAllBut(toChild[0], toParent[1]);
    const int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) ::_exit(1);
    char byte = 'x';
    if (::write(toParent[1], &byte, 1) != 1) ::_exit(2);
    // Holds until the parent writes or goes.
    ssize_t got = ::read(toChild[0], &byte, 1);
    (void)got;
    ::_exit(0);
  }
  ::close(toChild[0]);
  ::close(toParent[1]);
  toChild_ = toChild[1];
  if (pid_ > 0) {
    pollfd entry{toParent[0], POLLIN, 0};
    char byte;
    holding_ = ::poll(&entry, 1, 5000) == 1 && ::read(toParent[0], &byte, 1) == 1;
  }
  ::close(toParent[0]);
}

LockHolder::~LockHolder() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  if (toChild_ >= 0) ::close(toChild_);
}

bool LockHolder::release() {
  if (pid_ <= 0) return false;
  char byte = 'x';
  bool told = ::write(toChild_, &byte, 1) == 1;
  const int result = reap(pid_, std::chrono::steady_clock::now() + std::chrono::seconds(5));
  pid_ = -1;
  holding_ = false;
  return told && result == 0;
}
