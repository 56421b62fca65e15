#include "ServerProcess.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "platform/ProcessClock.h"

namespace {

// The socket inodes listening on the port, from the system's table of IPv4 TCP sockets:
// "sl local_address rem_address st ... uid timeout inode", addresses as hex "ADDR:PORT", the
// state 0A for listening.
std::set<std::string> listeningInodes(std::uint16_t port) {
  std::set<std::string> inodes;
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the column titles
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
          timeout >> inode)) {
      continue;
    }
    const std::size_t colon = local.find(':');
    if (colon == std::string::npos || state != "0A") continue;
    if (std::strtoul(local.c_str() + colon + 1, nullptr, 16) == port) inodes.insert(inode);
  }
  return inodes;
}

}  // namespace

double ServerProcess::cpuSeconds(int pid) {
  if (pid <= 0) return -1;
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!file || !std::getline(file, line)) return -1;
  // The command name in parentheses may hold spaces and parentheses of its own: the fields
  // are counted from after the last ')'. utime and stime are fields 14 and 15, which are the
  // 12th and 13th after it.
  const std::size_t close = line.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(line.substr(close + 1));
  std::string field;
  unsigned long long user = 0, system = 0;
  for (int i = 1; i <= 13 && fields >> field; ++i) {
    if (i == 12) user = std::strtoull(field.c_str(), nullptr, 10);
    if (i == 13) system = std::strtoull(field.c_str(), nullptr, 10);
  }
  if (!fields) return -1;
  return static_cast<double>(user + system) / static_cast<double>(clockTicksPerSecond());
}

bool ServerProcess::listensOn(int pid, std::uint16_t port) {
  const std::set<std::string> inodes = listeningInodes(port);
  if (inodes.empty()) return false;
  std::error_code error;
  std::filesystem::directory_iterator handles("/proc/" + std::to_string(pid) + "/fd", error);
  if (error) return false;
  for (const auto& handle : handles) {
    const std::string target = std::filesystem::read_symlink(handle.path(), error).string();
    if (error || target.rfind("socket:[", 0) != 0) continue;
    if (inodes.count(target.substr(8, target.size() - 9)) > 0) return true;
  }
  return false;
}
