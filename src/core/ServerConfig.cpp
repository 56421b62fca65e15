// The configuration file ".serverrc" and the setters and getters of the path and multicast
// address settings. The settings are written by the console thread and read by the workers:
// paths and the address only through the getters, under settingsLock.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

struct KeyWord {
  const char* word;
  ConfigKey key;
};

// The keys as the file spells them (in any case), in the order the README lists them.
constexpr KeyWord kKeys[] = {
    {"port", ConfigKey::Port},
    {"listen", ConfigKey::Listen},
    {"security", ConfigKey::Security},
    {"hostcheck", ConfigKey::HostCheck},
    {"passwd", ConfigKey::Passwd},
    {"hosts", ConfigKey::Hosts},
    {"connectionlog", ConfigKey::ConnectionLog},
    {"errorlog", ConfigKey::ErrorLog},
    {"mcastaddress", ConfigKey::McastAddress},
    {"mcastport", ConfigKey::McastPort},
    {"mcast-ttl", ConfigKey::McastTtl},
    {"capacity", ConfigKey::Capacity},
    {"logintimeout", ConfigKey::LoginTimeout},
    {"sendqueue", ConfigKey::SendQueue},
    {"maxperhost", ConfigKey::MaxPerHost},
    {"messagerate", ConfigKey::MessageRate},
    {"messageburst", ConfigKey::MessageBurst},
    {"passwordhash", ConfigKey::PasswordHash},
};

ConfigKey keyOf(const char* word) {
  for (const KeyWord& entry : kKeys) {
    if (equalsIgnoringCase(word, entry.word)) return entry.key;
  }
  return ConfigKey::Unknown;
}

const char* nameOf(ConfigKey key) {
  for (const KeyWord& entry : kKeys) {
    if (entry.key == key) return entry.word;
  }
  return "unknown";
}

NumberRange rangeOf(ConfigKey key) {
  switch (key) {
    case ConfigKey::Capacity:
      return Settings::kCapacity;
    case ConfigKey::LoginTimeout:
      return Settings::kLoginTimeout;
    case ConfigKey::SendQueue:
      return Settings::kSendQueue;
    case ConfigKey::MaxPerHost:
      return Settings::kMaxPerHost;
    case ConfigKey::MessageRate:
    case ConfigKey::MessageBurst:
      return Settings::kMessageRate;
    default:
      return Settings::kPort;
  }
}

}  // namespace

Bool16 Server::readConfigFile(const char* path, bool printProblems) {
  configProblems.begin(path);
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) {
    char message[TEXT_LINE_SIZE];
    std::snprintf(message, sizeof message, "Internal Error: File %s not found.",
                  configProblems.file());
    report(message);
    return 0;
  }
  LineReader reader(file);
  char line[TEXT_LINE_SIZE];
  while (reader.next(line, sizeof line)) applyConfigLine(line, reader.lineNumber());
  std::fclose(file);
  if (printProblems && !configProblems.empty()) {
    std::printf("Warnings:%s\n", describeConfigProblems().c_str());
    std::fflush(stdout);
  }
  return 1;
}

void Server::applyConfigLine(char* line, long lineNumber) {
  char* cursor = line;
  char* key = nextWord(cursor);
  if (key == nullptr || key[0] == '#') return;  // a blank line or a comment
  const ConfigKey which = keyOf(key);
  if (which == ConfigKey::Unknown) {
    configProblems.add(ConfigKey::Unknown, SettingProblem::UnknownWord, lineNumber, key);
    return;
  }
  char* value = nextWord(cursor);
  if (value == nullptr) {
    configProblems.add(which, SettingProblem::Missing, lineNumber, "");
    return;
  }
  const SettingProblem problem = applySetting(which, value);
  if (problem != SettingProblem::None) configProblems.add(which, problem, lineNumber, value);
}

SettingProblem Server::applySetting(ConfigKey key, const char* value) {
  // A bad number or word is applied as it reads (Settings::read*): a keyword's fallback, a
  // number as the C library reads it; the problem is reported beside the value in force, and
  // the diagnostics refuse to start with what is out of range. An unknown security word leaves
  // no level at all.
  switch (key) {
    case ConfigKey::Port: {
      const SettingReading<std::int64_t> port = Settings::readNumber(value, Settings::kPort);
      listener.localPort = static_cast<std::uint16_t>(port.value);
      return port.problem;
    }
    case ConfigKey::Listen: {
      // No reading of a bad address is any address: the one in force stays.
      const SettingProblem problem = Settings::checkListenAddress(value);
      if (problem == SettingProblem::None) setListenAddress(value);
      return problem;
    }
    case ConfigKey::Security: {
      const SettingReading<SecurityLevel> level = Settings::readSecurityLevel(value);
      securityLevel = level.value;
      return level.problem;
    }
    case ConfigKey::HostCheck: {
      const SettingReading<Bool16> check = Settings::readHostCheck(value);
      hostCheck = check.value;
      return check.problem;
    }
    case ConfigKey::Passwd:
      setPasswdFile(value);
      return SettingProblem::None;
    case ConfigKey::Hosts:
      setHostsFile(value);
      return SettingProblem::None;
    case ConfigKey::ConnectionLog:
      setConnectionLogFile(value);
      return SettingProblem::None;
    case ConfigKey::ErrorLog:
      setErrorLogFile(value);
      return SettingProblem::None;
    case ConfigKey::McastAddress:
      // Judged by the diagnostics before a start; a host name that does not resolve and an
      // address too long for its field are reported here.
      applyMcastAddress(value);
      return SettingProblem::None;
    case ConfigKey::McastPort: {
      const SettingReading<std::int64_t> port = Settings::readNumber(value, Settings::kPort);
      mcastPort = static_cast<std::uint16_t>(port.value);
      return port.problem;
    }
    case ConfigKey::McastTtl: {
      const SettingReading<MulticastScope> scope = Settings::readMulticastTtl(value);
      mcastTtl = scope.value;
      return scope.problem;
    }
    case ConfigKey::Capacity: {
      const SettingReading<std::int64_t> limit = Settings::readNumber(value, Settings::kCapacity);
      capacity = clampToInt32(limit.value);
      return limit.problem;
    }
    case ConfigKey::LoginTimeout: {
      const SettingReading<std::int64_t> seconds =
          Settings::readNumber(value, Settings::kLoginTimeout);
      loginTimeout = static_cast<std::int32_t>(Settings::kLoginTimeout.clamp(seconds.value));
      return seconds.problem;
    }
    case ConfigKey::SendQueue: {
      const SettingReading<std::int64_t> kib = Settings::readNumber(value, Settings::kSendQueue);
      transport.sendQueueBytes =
          static_cast<std::int32_t>(Settings::kSendQueue.clamp(kib.value) * 1024);
      return kib.problem;
    }
    case ConfigKey::MaxPerHost: {
      const SettingReading<std::int64_t> limit = Settings::readNumber(value, Settings::kMaxPerHost);
      maxPerHost = static_cast<std::int32_t>(Settings::kMaxPerHost.clamp(limit.value));
      return limit.problem;
    }
    case ConfigKey::MessageRate:
    case ConfigKey::MessageBurst: {
      const SettingReading<std::int64_t> limit = Settings::readNumber(value, Settings::kMessageRate);
      const auto held = static_cast<std::int32_t>(Settings::kMessageRate.clamp(limit.value));
      (key == ConfigKey::MessageRate ? messageRate : messageBurst) = held;
      return limit.problem;
    }
    case ConfigKey::PasswordHash: {
      // Another word changes nothing: a typo must not quietly store passwords in clear.
      const SettingReading<PasswordStorage> storage = Settings::readPasswordStorage(value);
      if (storage.ok()) passwordStorage = storage.value;
      return storage.problem;
    }
    case ConfigKey::Unknown:
      break;
  }
  return SettingProblem::UnknownWord;
}

void Server::describeValueInForce(ConfigKey key, char* buffer, std::size_t size) const {
  char text[PATH_TEXT_SIZE] = "";
  const char* value = text;
  switch (key) {
    case ConfigKey::Port:
      std::snprintf(text, sizeof text, "%d", static_cast<int>(listener.localPort));
      break;
    case ConfigKey::Listen:
      value = listener.localAddress[0] != '\0' ? listener.localAddress : "0.0.0.0";
      break;
    case ConfigKey::Security:
      value = Settings::securityLevelName(securityLevel);
      if (value == nullptr) {
        std::snprintf(buffer, size, "no level is in force");
        return;
      }
      break;
    case ConfigKey::HostCheck:
      value = hostCheck ? "TRUE" : "FALSE";
      break;
    case ConfigKey::Passwd:
      getPasswdFile(text, sizeof text);
      break;
    case ConfigKey::Hosts:
      getHostsFile(text, sizeof text);
      break;
    case ConfigKey::ConnectionLog:
      getConnectionLogFile(text, sizeof text);
      break;
    case ConfigKey::ErrorLog:
      getErrorLogFile(text, sizeof text);
      break;
    case ConfigKey::McastAddress:
      getMcastAddress(text, sizeof text);
      break;
    case ConfigKey::McastPort:
      std::snprintf(text, sizeof text, "%d", static_cast<int>(mcastPort));
      break;
    case ConfigKey::McastTtl:
      value = Settings::multicastTtlName(mcastTtl);
      if (value == nullptr) {
        std::snprintf(text, sizeof text, "%d", static_cast<int>(mcastTtl));
        value = text;
      }
      break;
    case ConfigKey::Capacity:
      std::snprintf(text, sizeof text, "%d", static_cast<int>(capacity));
      break;
    case ConfigKey::LoginTimeout:
      std::snprintf(text, sizeof text, "%d", static_cast<int>(loginTimeout));
      break;
    case ConfigKey::SendQueue:
      std::snprintf(text, sizeof text, "%d", static_cast<int>(transport.sendQueueBytes / 1024));
      break;
    case ConfigKey::MaxPerHost:
      std::snprintf(text, sizeof text, "%d", static_cast<int>(maxPerHost));
      break;
    case ConfigKey::MessageRate:
      std::snprintf(text, sizeof text, "%d", static_cast<int>(messageRate));
      break;
    case ConfigKey::MessageBurst:
      std::snprintf(text, sizeof text, "%d", static_cast<int>(messageBurst));
      break;
    case ConfigKey::PasswordHash:
      value = Settings::passwordStorageName(passwordStorage);
      break;
    case ConfigKey::Unknown:
      std::snprintf(buffer, size, "ignored");
      return;
  }
  char shown[ConfigProblems::kWordLength + 4];
  ConfigProblems::quote(value, shown, sizeof shown);
  std::snprintf(buffer, size, "the value in force is %s", shown);
}

std::string Server::describeConfigProblems() const {
  std::string text;
  const char* file = configProblems.file();
  for (const ConfigProblems::Entry& entry : configProblems.entries()) {
    char inForce[TEXT_LINE_SIZE];
    describeValueInForce(entry.key, inForce, sizeof inForce);
    const char* name = nameOf(entry.key);
    char line[TEXT_LINE_SIZE * 2];
    switch (entry.problem) {
      case SettingProblem::UnknownWord:
        if (entry.key == ConfigKey::Unknown) {
          std::snprintf(line, sizeof line, "\n\tUnknown setting '%s' (line %ld of %s): %s",
                        entry.word, entry.line, file, inForce);
        } else {
          std::snprintf(line, sizeof line, "\n\tUnknown %s setting '%s' (line %ld of %s): %s",
                        name, entry.word, entry.line, file, inForce);
        }
        break;
      case SettingProblem::Missing:
        std::snprintf(line, sizeof line, "\n\tEmpty %s setting (line %ld of %s): %s", name,
                      entry.line, file, inForce);
        break;
      case SettingProblem::NotANumber:
        std::snprintf(line, sizeof line, "\n\tNon-numeric %s setting '%s' (line %ld of %s): %s",
                      name, entry.word, entry.line, file, inForce);
        break;
      case SettingProblem::OutOfRange: {
        const NumberRange range = rangeOf(entry.key);
        std::snprintf(line, sizeof line,
                      "\n\tOut-of-range %s setting '%s' (line %ld of %s, range %ld - %ld): %s",
                      name, entry.word, entry.line, file, static_cast<long>(range.lowest),
                      static_cast<long>(range.highest), inForce);
        break;
      }
      case SettingProblem::NotAnAddress:
      case SettingProblem::TooLong:
      case SettingProblem::NotMulticast:
        std::snprintf(line, sizeof line,
                      "\n\tInvalid %s setting '%s' (line %ld of %s, not an IPv4 address): %s",
                      name, entry.word, entry.line, file, inForce);
        break;
      case SettingProblem::None:
        continue;
    }
    text += line;
  }
  const std::uint64_t more = configProblems.total() - configProblems.entries().size();
  if (more > 0) {
    char line[TEXT_LINE_SIZE];
    std::snprintf(line, sizeof line,
                  "\n\t... and %llu more problems in %s (only the first %d are kept)",
                  static_cast<unsigned long long>(more), file,
                  static_cast<int>(ConfigProblems::kMostKept));
    text += line;
  }
  return text;
}

void Server::applyMcastAddress(const char* value) {
  if (Settings::isHostName(value)) {
    char resolved[16];
    if (resolveHostName(value, resolved)) {
      setMcastAddress(resolved);
    } else {
      setMcastAddress("");
      char shown[TEXT_LINE_SIZE];
      ConfigProblems::quote(value, shown, sizeof shown);
      std::printf("Internal Error: Hostname %s not valid\n", shown);
    }
    return;
  }
  // The file's address is otherwise taken unchecked: the diagnostics judge it before a start.
  if (Settings::checkMulticastAddress(value) == SettingProblem::TooLong) {
    // Cutting would silently make another address of it; keep the previous one instead.
    char shown[TEXT_LINE_SIZE];
    ConfigProblems::quote(value, shown, sizeof shown);
    char message[TEXT_LINE_SIZE + 128];
    std::snprintf(message, sizeof message,
                  "Internal Error: Multicast Group address %s is too long (at most %d characters).",
                  shown, static_cast<int>(sizeof mcastAddress - 1));
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

void Server::setListenAddress(const char* address) {
  listener.setLocalAddress(address);
  hostAddress = address[0] != '\0' ? convertAddress(listener.localAddress) : 0;
}

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
