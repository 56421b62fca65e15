// The configuration dialogue (C): every setting in turn, the current value in brackets, an
// empty answer keeping it, a rejected answer asked again. The changes last for this run only.
// Workers read the settings as they change, through the atomics and the locked getters.
#include <cstdio>
#include <cstring>

#include "console/ConsoleInput.h"
#include "core/Server.h"
#include "core/Settings.h"
#include "core/Text.h"
#include "platform/Network.h"

namespace {

// Answers to the four file-name questions may be longer than the others.
constexpr std::size_t kFileNameLineSize = 260;

bool isSpace(char c) { return c == ' ' || c == '\t'; }

// Reads an answer; false when the console input has ended. An answer longer than the buffer
// is refused as a whole (*tooLong), never cut into another value. An answer of only spaces
// comes back empty: the operator meant to keep the value, as with Enter.
bool readAnswer(char* buffer, std::size_t size, bool* tooLong) {
  if (ConsoleInput::readLine(buffer, size, tooLong) < 0) return false;
  const char* p = buffer;
  while (isSpace(*p)) ++p;
  if (*p == '\0' && !*tooLong) buffer[0] = '\0';
  return true;
}

// Drops the spaces around text, in place.
void trimSpaces(char* text) {
  char* start = text;
  while (isSpace(*start)) ++start;
  std::size_t length = std::strlen(start);
  while (length > 0 && isSpace(start[length - 1])) --length;
  std::memmove(text, start, length);
  text[length] = '\0';
}

void rejectAnswer(const char* answer) { std::printf("Invalid setting: %s\n", answer); }

// A number for a range check. readLeadingNumber keeps the low bits of a number too large for
// 64 bits, which could bring a huge answer back into range; such an answer is out of every
// range here.
std::int64_t readRangedNumber(const char* answer) {
  const char* digits = answer;
  while (*digits == ' ' || (*digits >= '\t' && *digits <= '\r')) ++digits;
  if (*digits == '+' || *digits == '-') ++digits;
  while (*digits == '0') ++digits;
  int count = 0;
  while (digits[count] >= '0' && digits[count] <= '9') ++count;
  return count > 18 ? -1 : readLeadingNumber(answer);
}

}  // namespace

void Server::configure() {
  promptSecurityLevel();
  if (ConsoleInput::ended()) return;
  promptHostCheck();
  if (ConsoleInput::ended()) return;
  promptServerPort();
  if (ConsoleInput::ended()) return;
  if (securityLevel != FREEFORALL) promptPasswdFile();
  if (ConsoleInput::ended()) return;
  if (hostCheck) promptHostsFile();
  if (ConsoleInput::ended()) return;
  promptConnectionLogFile();
  if (ConsoleInput::ended()) return;
  promptErrorLogFile();
  if (ConsoleInput::ended()) return;
  promptMulticastGroup();
  if (ConsoleInput::ended()) return;
  promptUserLimit();
}

void Server::promptSecurityLevel() {
  char answer[TEXT_LINE_SIZE];
  for (;;) {
    const char* current = "FREEFORALL";
    if (securityLevel == LOGIN) {
      current = "LOGIN";
    } else if (securityLevel == SECURE) {
      current = "SECURE";
    } else {
      securityLevel = FREEFORALL;
    }
    std::printf("Enter security level (FREEFORALL, LOGIN, SECURE) [%s]> ", current);
    bool tooLong = false;
    if (!readAnswer(answer, sizeof answer, &tooLong)) return;
    if (tooLong) {
      rejectAnswer(answer);
    } else if (answer[0] == '\0') {
      return;
    } else if (equalsIgnoringCase(answer, "FREEFORALL")) {
      securityLevel = FREEFORALL;
      return;
    } else if (equalsIgnoringCase(answer, "LOGIN")) {
      securityLevel = LOGIN;
      return;
    } else if (equalsIgnoringCase(answer, "SECURE")) {
      securityLevel = SECURE;
      return;
    } else {
      rejectAnswer(answer);
    }
  }
}

void Server::promptHostCheck() {
  char answer[TEXT_LINE_SIZE];
  for (;;) {
    std::printf("Only accept connections from trusted hosts? (y,n) [%s]> ", hostCheck ? "y" : "n");
    bool tooLong = false;
    if (!readAnswer(answer, sizeof answer, &tooLong)) return;
    if (!tooLong && answer[0] == '\0') return;
    if (!tooLong && equalsIgnoringCase(answer, "y")) {
      hostCheck = 1;
      return;
    }
    if (!tooLong && equalsIgnoringCase(answer, "n")) {
      hostCheck = 0;
      return;
    }
    rejectAnswer(answer);
  }
}

void Server::promptServerPort() {
  char answer[TEXT_LINE_SIZE];
  for (;;) {
    std::printf("Enter server port number (1024-65535) [%d]> ", static_cast<int>(listener.localPort));
    bool tooLong = false;
    if (!readAnswer(answer, sizeof answer, &tooLong)) return;
    if (!tooLong && answer[0] == '\0') return;
    std::int64_t port = readRangedNumber(answer);
    if (!tooLong && port >= 1024 && port <= 65535) {
      // The open listener of a running service keeps its port until the next start.
      listener.localPort = static_cast<std::uint16_t>(port);
      return;
    }
    rejectAnswer(answer);
  }
}

void Server::promptFileName(const char* format, char* (Server::*get)(char*, std::size_t) const,
                            void (Server::*set)(const char*)) {
  char answer[kFileNameLineSize];
  for (;;) {
    char current[PATH_TEXT_SIZE] = "";
    (this->*get)(current, sizeof current);
    std::printf(format, current);
    bool tooLong = false;
    if (!readAnswer(answer, sizeof answer, &tooLong)) return;
    if (tooLong) {
      rejectAnswer(answer);
      continue;
    }
    if (answer[0] != '\0') (this->*set)(answer);
    return;
  }
}

void Server::promptPasswdFile() {
  promptFileName("Enter name of user password file [%s]> ", &Server::getPasswdFile,
                 &Server::setPasswdFile);
}

void Server::promptHostsFile() {
  promptFileName("Enter name of trusted hosts file [%s]> ", &Server::getHostsFile,
                 &Server::setHostsFile);
}

void Server::promptConnectionLogFile() {
  promptFileName("Enter name of connection log file [%s]> ", &Server::getConnectionLogFile,
                 &Server::setConnectionLogFile);
}

void Server::promptErrorLogFile() {
  promptFileName("Enter name of error log file [%s]> ", &Server::getErrorLogFile,
                 &Server::setErrorLogFile);
}

void Server::promptMulticastGroup() {
  if (!promptMulticastAddress()) return;
  if (!promptMulticastPort()) return;
  promptMulticastTtl();
}

// False when the console input has ended.
bool Server::promptMulticastAddress() {
  char answer[TEXT_LINE_SIZE];
  for (;;) {
    char current[16];
    getMcastAddress(current, sizeof current);
    if (current[0] != '\0') {
      std::printf("Enter address for Multicast Group [%s]> ", current);
    } else {
      ConsoleInput::prompt("Enter address for Multicast Group> ");
    }
    bool tooLong = false;
    if (!readAnswer(answer, sizeof answer, &tooLong)) return false;
    trimSpaces(answer);
    if (!tooLong && answer[0] == '\0') {
      if (current[0] != '\0') return true;
      std::printf("No address for Multicast Group has been specified!\n");
      continue;
    }
    const bool hostName = (answer[0] >= 'A' && answer[0] <= 'Z') || (answer[0] >= 'a' && answer[0] <= 'z');
    if (hostName && !tooLong) {
      char resolved[16];
      if (!resolveHostName(answer, resolved)) {
        std::printf("Hostname %s could not be resolved!\n", answer);
        continue;
      }
      setMcastAddress(resolved);
      return true;
    }
    // The answer itself becomes the setting, so it must fit the field whole.
    if (!tooLong && std::strlen(answer) <= sizeof mcastAddress - 1 &&
        Settings::isMulticastAddress(answer)) {
      setMcastAddress(answer);
      return true;
    }
    std::printf(
        "Multicast Group address %s is invalid! (Valid range: 224.0.0.0 - 239.255.255.255)\n",
        answer);
  }
}

bool Server::promptMulticastPort() {
  char answer[TEXT_LINE_SIZE];
  for (;;) {
    std::printf("Enter Multicast group port number (1024-65535) [%d]> ",
                static_cast<int>(mcastPort));
    bool tooLong = false;
    if (!readAnswer(answer, sizeof answer, &tooLong)) return false;
    if (!tooLong && answer[0] == '\0') return true;
    std::int64_t port = readRangedNumber(answer);
    if (!tooLong && port >= 1024 && port <= 65535) {
      mcastPort = static_cast<std::uint16_t>(port);
      return true;
    }
    rejectAnswer(answer);
  }
}

bool Server::promptMulticastTtl() {
  static const struct {
    const char* word;
    std::int32_t value;
  } kScopes[] = {{"HOST", HOST},   {"SUBNET", SUBNET},       {"SITE", SITE},
                 {"REGION", REGION}, {"CONTINENT", CONTINENT}, {"UNLIMITED", UNLIMITED}};
  char answer[TEXT_LINE_SIZE];
  for (;;) {
    const char* current = nullptr;
    for (const auto& scope : kScopes) {
      if (scope.value == mcastTtl) current = scope.word;
    }
    if (current == nullptr) {
      mcastTtl = REGION;
      current = "REGION";
    }
    std::printf(
        "Enter MulticastTTL (HOST, SUBNET, SITE, REGION, CONTINENT, UNLIMITED) [%s]> ", current);
    bool tooLong = false;
    if (!readAnswer(answer, sizeof answer, &tooLong)) return false;
    if (!tooLong && answer[0] == '\0') return true;
    for (const auto& scope : kScopes) {
      if (!tooLong && equalsIgnoringCase(answer, scope.word)) {
        mcastTtl = scope.value;
        return true;
      }
    }
    rejectAnswer(answer);
  }
}

void Server::promptUserLimit() {
  if (running) return;  // the slots of a running service stay as they are
  char answer[TEXT_LINE_SIZE];
  for (;;) {
    std::printf("Enter user limit (2-25) [%d]> ", static_cast<int>(capacity));
    bool tooLong = false;
    if (!readAnswer(answer, sizeof answer, &tooLong)) return;
    if (!tooLong && answer[0] == '\0') return;
    std::int64_t limit = readRangedNumber(answer);
    if (!tooLong && limit >= 2 && limit <= 25) {
      capacity = static_cast<std::int32_t>(limit);
      return;
    }
    std::printf("Invalid setting: %s.  Range is 2 - 25.\n", answer);
  }
}
