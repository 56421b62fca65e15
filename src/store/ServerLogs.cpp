// The connection log and the error log: append-only text files, one line per entry, each
// ending in a local time stamp. Each is kept open between lines (store/LogFile.h).
#include <cstdio>
#include <string>

#include "core/Server.h"
#include "core/Text.h"
#include "protocol/Packet.h"
#include "platform/System.h"

void Server::formatTimeStamp(char* buffer, std::size_t size, std::time_t when) {
  formatLocalTime(buffer, size, "%a %b %#d %X %z", when);
}

Bool16 Server::logConnect(const char* userName, std::uint16_t port, const char* clientAddress) {
  return appendConnectionLine("Connect: USER: %s\tFROM: %s, ON: %d\tAT: %s", userName, port,
                              clientAddress);
}

Bool16 Server::logDisconnect(const char* userName, std::uint16_t port,
                             const char* clientAddress) {
  return appendConnectionLine("Disconnect: USER: %s\tFROM: %s, %d\tAT: %s", userName, port,
                              clientAddress);
}

Bool16 Server::appendConnectionLine(const char* format, const char* userName, std::uint16_t port,
                                    const char* clientAddress) {
  char path[PATH_TEXT_SIZE];
  if (getConnectionLogFile(path, sizeof path) == nullptr) {
    report("Internal Error: No log file specified.");
    return 0;
  }
  char stamp[TEXT_LINE_SIZE];
  formatTimeStamp(stamp, sizeof stamp, std::time(nullptr));
  // The name came from a client: a tab or a line feed in it must not make records of its own.
  char name[MAX_WIRE_SIZE];
  std::snprintf(name, sizeof name, "%s", userName != nullptr ? userName : "");
  neutraliseClientText(name);
  char line[MAX_WIRE_SIZE + TEXT_LINE_SIZE + 64];
  std::snprintf(line, sizeof line, format, name, clientAddress, static_cast<int>(port), stamp);
  if (connectionLog_.appendLine(path, line) != LogFile::Append::Written) {
    char message[PATH_TEXT_SIZE + 64];
    std::snprintf(message, sizeof message, "Internal Error: Log file %s inaccessible.", path);
    report(message);
    return 0;
  }
  return 1;
}

Bool16 Server::logError(const char* message) {
  char path[PATH_TEXT_SIZE];
  if (getErrorLogFile(path, sizeof path) == nullptr) {
    std::printf("Internal Error: No error file specified.\n");
    return 0;
  }
  char stamp[TEXT_LINE_SIZE];
  formatTimeStamp(stamp, sizeof stamp, std::time(nullptr));
  std::string line = "ERROR: ";
  line.append(message).append("\tAT: ").append(stamp);
  if (errorLog_.appendLine(path, line.c_str()) != LogFile::Append::Written) {
    // Its own failure cannot go to itself: printed only.
    std::printf("Internal Error: Error file %s inaccessible.\n", path);
    return 0;
  }
  return 1;
}

void Server::closeLogs() {
  connectionLog_.close();
  errorLog_.close();
}
