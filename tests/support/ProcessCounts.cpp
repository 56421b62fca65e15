#include "ProcessCounts.h"

#include <filesystem>
#include <fstream>
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

}  // namespace

int openDescriptors() { return entriesIn("/proc/self/fd"); }
int threadCount() { return entriesIn("/proc/self/task"); }

long peakVirtualKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmPeak:", 0) == 0) return std::stol(line.substr(7));
  }
  return -1;
}
