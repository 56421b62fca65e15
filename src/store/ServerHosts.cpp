// The trusted-hosts file: one dotted-quad address per line, read for each new connection while
// host checking is on and appended to by the console. The file is guarded by its own file
// mutex, named by its path, from before it is opened until after it is closed; in
// addTrustedHost that covers the duplicate scan and the append together. Every failure
// releases the file mutex before it is reported, since reporting writes the error log. Blank
// lines list no address and are skipped.
#include <cstdio>
#include <cstring>

#include "core/Server.h"
#include "store/DataFile.h"
#include "store/LineReader.h"

namespace {

// Lines are read in pieces of at most 255 characters; a longer line is several lines.
constexpr std::size_t LINE_SIZE = 256;
// Room for a message around an address from the console.
constexpr std::size_t MESSAGE_SIZE = PATH_TEXT_SIZE + 64;

const char* const NO_FILE = "Internal Error: No hosts file specified.";
// The first host is added to a file that does not exist yet; anyone may read the list.
const DataFile::Creation CREATE_HOSTS{"hosts", 0644};

// True when some line of the open file is exactly the address: nothing before or after it.
bool listsAddress(std::FILE* file, const char* address) {
  LineReader reader(file);
  char line[LINE_SIZE];
  while (reader.nextNonBlank(line, sizeof line)) {
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
  DataFile hosts(*this, "hosts", path);
  return hosts.isOpen() && listsAddress(hosts.file(), address) ? 1 : 0;
}

// Takes the hosts file's mutex across the creation, the duplicate scan and the append.
Bool16 Server::addTrustedHost(const char* address) {
  // A blank entry would be skipped by every reader: it could never admit anyone.
  if (address == nullptr || LineReader::isBlank(address)) return 0;
  char path[PATH_TEXT_SIZE];
  if (getHostsFile(path, sizeof path) == nullptr) {
    report(NO_FILE);
    return 0;
  }
  DataFile hosts(*this, "hosts", path, &CREATE_HOSTS);
  if (!hosts.isOpen()) return 0;
  if (listsAddress(hosts.file(), address)) {
    hosts.finish();
    char message[MESSAGE_SIZE];
    std::snprintf(message, sizeof message, "Internal Error: Host %s already exists.", address);
    report(message);
    return 0;
  }
  return hosts.append(address) ? 1 : 0;
}
