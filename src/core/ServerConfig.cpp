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

bool startsWithLetter(const char* text) {
  return (text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z');
}

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

  if (equalsIgnoringCase(key, "port")) {
    listener.localPort = static_cast<std::uint16_t>(readLeadingNumber(value));
  } else if (equalsIgnoringCase(key, "security")) {
    if (equalsIgnoringCase(value, "SECURE")) {
      securityLevel = SECURE;
    } else if (equalsIgnoringCase(value, "LOGIN")) {
      securityLevel = LOGIN;
    } else {
      securityLevel = FREEFORALL;
    }
  } else if (equalsIgnoringCase(key, "hostcheck")) {
    hostCheck = equalsIgnoringCase(value, "TRUE") ? 1 : 0;
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
    mcastPort = static_cast<std::uint16_t>(readLeadingNumber(value));
  } else if (equalsIgnoringCase(key, "mcast-ttl")) {
    if (equalsIgnoringCase(value, "HOST")) {
      mcastTtl = HOST;
    } else if (equalsIgnoringCase(value, "SUBNET")) {
      mcastTtl = SUBNET;
    } else if (equalsIgnoringCase(value, "SITE")) {
      mcastTtl = SITE;
    } else if (equalsIgnoringCase(value, "CONTINENT")) {
      mcastTtl = CONTINENT;
    } else if (equalsIgnoringCase(value, "UNLIMITED")) {
      mcastTtl = UNLIMITED;
    } else {
      mcastTtl = REGION;
    }
  } else if (equalsIgnoringCase(key, "capacity")) {
    capacity = clampToInt32(readLeadingNumber(value));
  } else if (equalsIgnoringCase(key, "logintimeout")) {
    std::int32_t seconds = clampToInt32(readLeadingNumber(value));
    loginTimeout = seconds > 0 ? seconds : 0;
  }
}

void Server::applyMcastAddress(const char* value) {
  if (startsWithLetter(value)) {
    char resolved[16];
    if (resolveHostName(value, resolved)) {
      setMcastAddress(resolved);
    } else {
      setMcastAddress("");
      std::printf("Internal Error: Hostname %s not valid\n", value);
    }
    return;
  }
  if (std::strlen(value) > sizeof mcastAddress - 1) {
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
