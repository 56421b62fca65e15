#include "ProcessCounts.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

namespace {

int entriesIn(const char* folder) {
  int count = 0;
  std::error_code error;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    ++count;
  }
  return error ? -1 : count;
}

// The kernel's flag of a task that has begun to exit (PF_EXITING in its stat line).
constexpr unsigned long kExitingFlag = 0x4;

// False for a thread that is on its way out: a joined thread's join returns a moment before
// the system stops listing it.
bool isLive(const std::filesystem::path& task) {
  std::ifstream stat(task / "stat");
  std::string line;
  if (!std::getline(stat, line)) return false;  // gone since the folder was read
  // After the name in parentheses: state, ppid, pgrp, session, tty, tpgid, then the flags.
  std::size_t at = line.rfind(')');
  if (at == std::string::npos) return true;
  std::istringstream fields(line.substr(at + 1));
  std::string skipped;
  for (int i = 0; i < 6; ++i) fields >> skipped;
  unsigned long flags = 0;
  fields >> flags;
  return (flags & kExitingFlag) == 0;
}

}  // namespace

int openDescriptors() { return entriesIn("/proc/self/fd"); }

std::string describeDescriptors() {
  std::string list;
  std::error_code error;
  for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
       it.increment(error)) {
    std::error_code unreadable;
    const std::filesystem::path target = std::filesystem::read_symlink(it->path(), unreadable);
    list += it->path().filename().string() + " -> " +
            (unreadable ? std::string("?") : target.string()) + "\n";
  }
  return list;
}

int threadCount() {
  int count = 0;
  std::error_code error;
  for (std::filesystem::directory_iterator it("/proc/self/task", error), end; !error && it != end;
       it.increment(error)) {
    if (isLive(it->path())) ++count;
  }
  return error ? -1 : count;
}

long peakVirtualKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmPeak:", 0) == 0) return std::stol(line.substr(7));
  }
  return -1;
}
