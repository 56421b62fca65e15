// The connection log and the error log: append-only text files, one line per entry, each
// ending in a local time stamp. Each file is guarded by its own file mutex, named by its path,
// from before it is opened until after it is closed; a line whose mutex cannot be got within
// its bound is not written, and that is reported instead.
#include <cstdio>

#include "core/Server.h"
#include "core/Text.h"
#include "protocol/Packet.h"
#include "platform/System.h"
#include "store/FileLock.h"

void Server::formatTimeStamp(char* buffer, std::size_t size, std::time_t when) {
  formatLocalTime(buffer, size, "%a %b %#d %X %z", when);
}

Bool16 Server::logConnect(const char* userName, std::uint16_t port, const char* clientAddress) {
  return appendConnectionLine("Connect: USER: %s\tFROM: %s, ON: %d\tAT: %s\n", userName, port,
                              clientAddress);
}

Bool16 Server::logDisconnect(const char* userName, std::uint16_t port,
                             const char* clientAddress) {
  return appendConnectionLine("Disconnect: USER: %s\tFROM: %s, %d\tAT: %s\n", userName, port,
                              clientAddress);
}

Bool16 Server::appendConnectionLine(const char* format, const char* userName, std::uint16_t port,
                                    const char* clientAddress) {
  char path[PATH_TEXT_SIZE];
  if (getConnectionLogFile(path, sizeof path) == nullptr) {
    report("Internal Error: No log file specified.");
    return 0;
  }
  FileLock fileLock("connection log", path);
  if (!fileLock.held()) {
    char message[FileLock::kReportSize];
    fileLock.describeFailure(message, sizeof message);
    report(message);
    return 0;
  }
  std::FILE* file = std::fopen(path, "a");
  if (file == nullptr) {
    fileLock.unlock();  // before the error log is written
    char message[PATH_TEXT_SIZE + 64];
    std::snprintf(message, sizeof message, "Internal Error: Log file %s inaccessible.", path);
    report(message);
    return 0;
  }
  char stamp[TEXT_LINE_SIZE];
  formatTimeStamp(stamp, sizeof stamp, std::time(nullptr));
  // The name came from a client: a tab or a line feed in it must not make records of its own.
  char name[MAX_WIRE_SIZE];
  std::snprintf(name, sizeof name, "%s", userName != nullptr ? userName : "");
  neutraliseClientText(name);
  std::fprintf(file, format, name, clientAddress, static_cast<int>(port), stamp);
  std::fclose(file);
  return 1;
}

Bool16 Server::logError(const char* message) {
  char path[PATH_TEXT_SIZE];
  if (getErrorLogFile(path, sizeof path) == nullptr) {
    std::printf("Internal Error: No error file specified.\n");
    return 0;
  }
  FileLock fileLock("error log", path, FileLock::kErrorLogWaitMilliseconds);
  if (!fileLock.held()) {
    // Its own failure cannot go to itself: printed only.
    char failure[FileLock::kReportSize];
    fileLock.describeFailure(failure, sizeof failure);
    std::printf("%s\n", failure);
    std::fflush(stdout);
    return 0;
  }
  std::FILE* file = std::fopen(path, "a");
  if (file == nullptr) {
    std::printf("Internal Error: Error file %s inaccessible.\n", path);
    return 0;
  }
  char stamp[TEXT_LINE_SIZE];
  formatTimeStamp(stamp, sizeof stamp, std::time(nullptr));
  std::fprintf(file, "ERROR: %s\tAT: %s\n", message, stamp);
  std::fclose(file);
  return 1;
}
