// The trusted-hosts file: one dotted-quad address per line, read for each new connection while
// host checking is on and appended to by the console. The file is guarded by its own file
// mutex, named by its path, from before it is opened until after it is closed; in
// addTrustedHost that covers the duplicate scan and the append together. Every failure
// releases the file mutex before it is reported, since reporting writes the error log.
#include <cstdio>
#include <cstring>

#include "core/NamedLock.h"
#include "core/Server.h"
#include "store/LineReader.h"

namespace {

// Lines are read in pieces of at most 255 characters; a longer line is several lines.
constexpr std::size_t LINE_SIZE = 256;
// Room for a message around a whole configured path.
constexpr std::size_t MESSAGE_SIZE = PATH_TEXT_SIZE + 64;

const char* const NO_FILE = "Internal Error: No hosts file specified.";

void reportInaccessible(Server& server, const char* path) {
  char message[MESSAGE_SIZE];
  std::snprintf(message, sizeof message, "Internal Error: Hosts file %s inaccessible.", path);
  server.report(message);
}

// True when some line of the open file is exactly the address: nothing before or after it.
bool listsAddress(std::FILE* file, const char* address) {
  LineReader reader(file);
  char line[LINE_SIZE];
  while (reader.next(line, sizeof line)) {
    if (std::strcmp(line, address) == 0) return true;
  }
  return false;
}

}  // namespace

// Takes the hosts file's mutex.
Bool16 Server::isTrustedHost(const char* address) {
  if (address == nullptr) return 0;
  char path[PATH_TEXT_SIZE];
  if (getHostsFile(path, sizeof path) == nullptr) {
    report(NO_FILE);
    return 0;
  }
  NamedLock fileLock(path);
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) {
    fileLock.unlock();
    reportInaccessible(*this, path);
    return 0;
  }
  bool listed = listsAddress(file, address);
  std::fclose(file);
  return listed ? 1 : 0;
}

// Takes the hosts file's mutex across the duplicate scan and the append.
Bool16 Server::addTrustedHost(const char* address) {
  if (address == nullptr) return 0;
  char path[PATH_TEXT_SIZE];
  if (getHostsFile(path, sizeof path) == nullptr) {
    report(NO_FILE);
    return 0;
  }
  NamedLock fileLock(path);
  // Opened for reading first: a missing file fails here and is never created.
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) {
    fileLock.unlock();
    reportInaccessible(*this, path);
    return 0;
  }
  bool listed = listsAddress(file, address);
  std::fclose(file);
  if (listed) {
    fileLock.unlock();
    char message[MESSAGE_SIZE];
    std::snprintf(message, sizeof message, "Internal Error: Host %s already exists.", address);
    report(message);
    return 0;
  }

  // Update mode, not append mode, so that a file removed meanwhile is not created again.
  file = std::fopen(path, "r+");
  if (file == nullptr) {
    fileLock.unlock();
    reportInaccessible(*this, path);
    return 0;
  }
  // A last line without its line feed would run into the new entry.
  bool joinsLastLine = std::fseek(file, -1, SEEK_END) == 0 && std::fgetc(file) != '\n';
  bool written = std::fseek(file, 0, SEEK_END) == 0 &&
                 std::fprintf(file, "%s%s\n", joinsLastLine ? "\n" : "", address) >= 0;
  if (std::fclose(file) != 0) written = false;
  fileLock.unlock();
  if (!written) {
    reportInaccessible(*this, path);
    return 0;
  }
  return 1;
}
