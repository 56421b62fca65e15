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
    // No level (an unknown word in the file) shows as "none", and Enter keeps it so: only a
    // level the operator names is taken, so a typo never turns passwords off.
    const char* current = Settings::securityLevelName(securityLevel);
    std::printf("Enter security level (%s) [%s]> ", Settings::securityLevelList(),
                current != nullptr ? current : "none");
    bool tooLong = false;
    if (!readAnswer(answer, sizeof answer, &tooLong)) return;
    if (!tooLong && answer[0] == '\0') return;
    const SettingReading<SecurityLevel> level = Settings::readSecurityLevel(answer);
    if (!tooLong && level.ok()) {
      securityLevel = level.value;
      return;
    }
    rejectAnswer(answer);
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
    std::printf("Enter server port number (%d-%d) [%d]> ", Settings::kPort.lowest,
                Settings::kPort.highest, static_cast<int>(listener.localPort));
    bool tooLong = false;
    if (!readAnswer(answer, sizeof answer, &tooLong)) return;
    if (!tooLong && answer[0] == '\0') return;
    const SettingReading<std::int64_t> port = Settings::readNumber(answer, Settings::kPort);
    if (!tooLong && port.ok()) {
      // The open listener of a running service keeps its port until the next start.
      listener.localPort = static_cast<std::uint16_t>(port.value);
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
    if (Settings::isHostName(answer) && !tooLong) {
      char resolved[16];
      if (!resolveHostName(answer, resolved)) {
        std::printf("Hostname %s could not be resolved!\n", answer);
        continue;
      }
      setMcastAddress(resolved);
      return true;
    }
    // The answer itself becomes the setting, so it must fit the field whole.
    if (!tooLong && Settings::checkMulticastAddress(answer) == SettingProblem::None) {
      setMcastAddress(answer);
      return true;
    }
    std::printf("Multicast Group address %s is invalid! (Valid range: %s)\n", answer,
                Settings::kMulticastRange);
  }
}

bool Server::promptMulticastPort() {
  char answer[TEXT_LINE_SIZE];
  for (;;) {
    std::printf("Enter Multicast group port number (%d-%d) [%d]> ", Settings::kPort.lowest,
                Settings::kPort.highest, static_cast<int>(mcastPort));
    bool tooLong = false;
    if (!readAnswer(answer, sizeof answer, &tooLong)) return false;
    if (!tooLong && answer[0] == '\0') return true;
    const SettingReading<std::int64_t> port = Settings::readNumber(answer, Settings::kPort);
    if (!tooLong && port.ok()) {
      mcastPort = static_cast<std::uint16_t>(port.value);
      return true;
    }
    rejectAnswer(answer);
  }
}

bool Server::promptMulticastTtl() {
  char answer[TEXT_LINE_SIZE];
  for (;;) {
    const char* current = Settings::multicastTtlName(mcastTtl);
    if (current == nullptr) {
      mcastTtl = Settings::kFallbackMulticastTtl;
      current = Settings::multicastTtlName(mcastTtl);
    }
    std::printf("Enter MulticastTTL (%s) [%s]> ", Settings::multicastTtlList(), current);
    bool tooLong = false;
    if (!readAnswer(answer, sizeof answer, &tooLong)) return false;
    if (!tooLong && answer[0] == '\0') return true;
    const SettingReading<MulticastScope> scope = Settings::readMulticastTtl(answer);
    if (!tooLong && scope.ok()) {
      mcastTtl = scope.value;
      return true;
    }
    rejectAnswer(answer);
  }
}

void Server::promptUserLimit() {
  if (running) return;  // the slots of a running service stay as they are
  char answer[TEXT_LINE_SIZE];
  for (;;) {
    const NumberRange range = Settings::kUserLimit;
    std::printf("Enter user limit (%d-%d) [%d]> ", range.lowest, range.highest,
                static_cast<int>(capacity));
    bool tooLong = false;
    if (!readAnswer(answer, sizeof answer, &tooLong)) return;
    if (!tooLong && answer[0] == '\0') return;
    const SettingReading<std::int64_t> limit = Settings::readNumber(answer, range);
    if (!tooLong && limit.ok()) {
      capacity = static_cast<std::int32_t>(limit.value);
      return;
    }
    std::printf("Invalid setting: %s.  Range is %d - %d.\n", answer, range.lowest, range.highest);
  }
}
