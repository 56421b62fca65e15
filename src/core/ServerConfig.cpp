// The configuration file ".serverrc" and the setters and getters of the path and multicast
// address settings. The settings are written by the console thread and read by the workers:
// paths and the address only through the getters, under settingsLock.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/Server.h"
#include "core/Text.h"
#include "platform/Network.h"
#include "store/LineReader.h"

namespace {

// Splits at spaces only: runs of spaces are one separator, a tab is part of a word.
char* nextWord(char*& cursor) {
  while (*cursor == ' ') ++cursor;
  if (*cursor == '\0') return nullptr;
  char* word = cursor;
  while (*cursor != '\0' && *cursor != ' ') ++cursor;
  if (*cursor == ' ') *cursor++ = '\0';
  return word;
}

}  // namespace

Bool16 Server::readConfigFile(const char* path) {
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) {
    char message[TEXT_LINE_SIZE];
    std::snprintf(message, sizeof message, "Internal Error: File %s not found.", path);
    report(message);
    return 0;
  }
  LineReader reader(file);
  char line[TEXT_LINE_SIZE];
  while (reader.next(line, sizeof line)) applyConfigLine(line);
  std::fclose(file);
  return 1;
}

void Server::applyConfigLine(char* line) {
  char* cursor = line;
  char* key = nextWord(cursor);
  if (key == nullptr) return;
  char* value = nextWord(cursor);
  if (value == nullptr) return;

  // A bad value is applied as it reads (Settings::read*): a keyword's fallback, a number as
  // the C library reads it; the diagnostics refuse to start with what is out of range.
  if (equalsIgnoringCase(key, "port")) {
    listener.localPort =
        static_cast<std::uint16_t>(Settings::readNumber(value, Settings::kPort).value);
  } else if (equalsIgnoringCase(key, "security")) {
    securityLevel = Settings::readSecurityLevel(value).value;
  } else if (equalsIgnoringCase(key, "hostcheck")) {
    hostCheck = Settings::readHostCheck(value).value;
  } else if (equalsIgnoringCase(key, "passwd")) {
    setPasswdFile(value);
  } else if (equalsIgnoringCase(key, "hosts")) {
    setHostsFile(value);
  } else if (equalsIgnoringCase(key, "connectionlog")) {
    setConnectionLogFile(value);
  } else if (equalsIgnoringCase(key, "errorlog")) {
    setErrorLogFile(value);
  } else if (equalsIgnoringCase(key, "mcastaddress")) {
    applyMcastAddress(value);
  } else if (equalsIgnoringCase(key, "mcastport")) {
    mcastPort = static_cast<std::uint16_t>(Settings::readNumber(value, Settings::kPort).value);
  } else if (equalsIgnoringCase(key, "mcast-ttl")) {
    mcastTtl = Settings::readMulticastTtl(value).value;
  } else if (equalsIgnoringCase(key, "capacity")) {
    capacity = clampToInt32(Settings::readNumber(value, Settings::kCapacity).value);
  } else if (equalsIgnoringCase(key, "logintimeout")) {
    const std::int64_t seconds = Settings::readNumber(value, Settings::kLoginTimeout).value;
    loginTimeout = static_cast<std::int32_t>(Settings::kLoginTimeout.clamp(seconds));
  } else if (equalsIgnoringCase(key, "sendqueue")) {
    const std::int64_t kib = Settings::readNumber(value, Settings::kSendQueue).value;
    transport.sendQueueBytes = static_cast<std::int32_t>(Settings::kSendQueue.clamp(kib) * 1024);
  }
}

void Server::applyMcastAddress(const char* value) {
  if (Settings::isHostName(value)) {
    char resolved[16];
    if (resolveHostName(value, resolved)) {
      setMcastAddress(resolved);
    } else {
      setMcastAddress("");
      std::printf("Internal Error: Hostname %s not valid\n", value);
    }
    return;
  }
  // The file's address is otherwise taken unchecked: the diagnostics judge it before a start.
  if (Settings::checkMulticastAddress(value) == SettingProblem::TooLong) {
    // Cutting would silently make another address of it; keep the previous one instead.
    char message[TEXT_LINE_SIZE + 64];
    std::snprintf(message, sizeof message,
                  "Internal Error: Multicast Group address %s is too long (at most %d characters).",
                  value, static_cast<int>(sizeof mcastAddress - 1));
    report(message);
    return;
  }
  setMcastAddress(value);
}

void Server::replacePath(char*& field, const char* path) {
  std::size_t length = std::strlen(path);
  char* copy = static_cast<char*>(std::malloc(length + 1));
  if (copy == nullptr) return;  // the old path stays: a path is never null
  std::memcpy(copy, path, length + 1);
  char* old;
  {
    std::lock_guard<std::mutex> guard(settingsLock);
    old = field;
    field = copy;
  }
  std::free(old);
}

char* Server::copyPath(const char* const& field, char* buffer, std::size_t size) const {
  std::lock_guard<std::mutex> guard(settingsLock);
  if (field == nullptr || buffer == nullptr || size == 0) return nullptr;
  std::strncpy(buffer, field, size - 1);
  buffer[size - 1] = '\0';
  return buffer;
}

void Server::setPasswdFile(const char* path) { replacePath(passwdFile, path); }
void Server::setHostsFile(const char* path) { replacePath(hostsFile, path); }
void Server::setConnectionLogFile(const char* path) { replacePath(connectionLogFile, path); }
void Server::setErrorLogFile(const char* path) { replacePath(errorLogFile, path); }

void Server::setMcastAddress(const char* address) {
  std::lock_guard<std::mutex> guard(settingsLock);
  std::strncpy(mcastAddress, address, sizeof mcastAddress - 1);
  mcastAddress[sizeof mcastAddress - 1] = '\0';
}

char* Server::getMcastAddress(char* buffer, std::size_t size) const {
  std::lock_guard<std::mutex> guard(settingsLock);
  if (buffer == nullptr || size == 0) return buffer;
  std::strncpy(buffer, mcastAddress, size - 1);
  buffer[size - 1] = '\0';
  return buffer;
}

char* Server::getPasswdFile(char* buffer, std::size_t size) const {
  return copyPath(passwdFile, buffer, size);
}
char* Server::getHostsFile(char* buffer, std::size_t size) const {
  return copyPath(hostsFile, buffer, size);
}
char* Server::getConnectionLogFile(char* buffer, std::size_t size) const {
  return copyPath(connectionLogFile, buffer, size);
}
char* Server::getErrorLogFile(char* buffer, std::size_t size) const {
  return copyPath(errorLogFile, buffer, size);
}
