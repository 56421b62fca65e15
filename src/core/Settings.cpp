#include "core/Settings.h"

#include <cstring>
#include <iterator>
#include <string>

#include "core/Text.h"
#include "platform/Network.h"

namespace {

struct SettingWord {
  const char* word;
  std::int32_t value;
};

// One keyword setting: its words in the order the operator is shown them, and the value a word
// it does not know reads as.
struct WordTable {
  const SettingWord* words;
  std::size_t count;
  std::int32_t fallback;

  const SettingWord* begin() const { return words; }
  const SettingWord* end() const { return words + count; }

  template <typename Value>
  SettingReading<Value> read(const char* text) const {
    for (const SettingWord& entry : *this) {
      if (equalsIgnoringCase(text, entry.word)) {
        return {static_cast<Value>(entry.value), SettingProblem::None};
      }
    }
    return {static_cast<Value>(fallback), SettingProblem::UnknownWord};
  }

  const char* nameOf(std::int32_t value) const {
    for (const SettingWord& entry : *this) {
      if (entry.value == value) return entry.word;
    }
    return nullptr;
  }

  std::string list() const {
    std::string text;
    for (const SettingWord& entry : *this) {
      if (!text.empty()) text += ", ";
      text += entry.word;
    }
    return text;
  }
};

constexpr SettingWord kSecurityWords[] = {
    {"FREEFORALL", FREEFORALL}, {"LOGIN", LOGIN}, {"SECURE", SECURE}};
constexpr WordTable kSecurityLevels{kSecurityWords, std::size(kSecurityWords), SECURITY_UNSET};

constexpr SettingWord kScopeWords[] = {{"HOST", HOST},           {"SUBNET", SUBNET},
                                       {"SITE", SITE},           {"REGION", REGION},
                                       {"CONTINENT", CONTINENT}, {"UNLIMITED", UNLIMITED}};
constexpr WordTable kScopes{kScopeWords, std::size(kScopeWords), Settings::kFallbackMulticastTtl};

constexpr SettingWord kHostCheckWords[] = {{"TRUE", 1}, {"FALSE", 0}};
constexpr WordTable kHostCheck{kHostCheckWords, std::size(kHostCheckWords), 0};

constexpr SettingWord kStorageWords[] = {
    {"none", CLEAR_PASSWORDS}, {"yescrypt", YESCRYPT}, {"sha512", SHA512}};
constexpr WordTable kPasswordStorage{kStorageWords, std::size(kStorageWords), CLEAR_PASSWORDS};

bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// A number with more significant digits than this may have wrapped around in the reading.
constexpr int kMostDigits = 18;

}  // namespace

SettingReading<SecurityLevel> Settings::readSecurityLevel(const char* text) {
  return kSecurityLevels.read<SecurityLevel>(text);
}

const char* Settings::securityLevelName(std::int32_t level) {
  return kSecurityLevels.nameOf(level);
}

SettingReading<PasswordStorage> Settings::readPasswordStorage(const char* text) {
  return kPasswordStorage.read<PasswordStorage>(text);
}

const char* Settings::passwordStorageName(std::int32_t storage) {
  return kPasswordStorage.nameOf(storage);
}

const char* Settings::securityLevelList() {
  static const std::string list = kSecurityLevels.list();
  return list.c_str();
}

SettingReading<MulticastScope> Settings::readMulticastTtl(const char* text) {
  return kScopes.read<MulticastScope>(text);
}

const char* Settings::multicastTtlName(std::int32_t ttl) { return kScopes.nameOf(ttl); }

const char* Settings::multicastTtlList() {
  static const std::string list = kScopes.list();
  return list.c_str();
}

SettingReading<Bool16> Settings::readHostCheck(const char* text) {
  return kHostCheck.read<Bool16>(text);
}

SettingReading<std::int64_t> Settings::readNumber(const char* text, NumberRange range) {
  const std::int64_t value = readLeadingNumber(text);
  const char* digits = text;
  while (isSpace(*digits)) ++digits;
  if (*digits == '+' || *digits == '-') ++digits;
  if (*digits < '0' || *digits > '9') return {value, SettingProblem::NotANumber};
  while (*digits == '0') ++digits;
  int count = 0;
  while (digits[count] >= '0' && digits[count] <= '9') ++count;
  if (count > kMostDigits || !range.contains(value)) return {value, SettingProblem::OutOfRange};
  return {value, SettingProblem::None};
}

SettingProblem Settings::checkListenAddress(const char* text) {
  if (text == nullptr || text[0] == '\0') return SettingProblem::Missing;
  if (std::strlen(text) > kAddressLength) return SettingProblem::TooLong;
  const char* p = text;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && *p++ != '.') return SettingProblem::NotAnAddress;
    // A leading zero would make the system read the part as octal ("010" is 8).
    if (p[0] == '0' && p[1] >= '0' && p[1] <= '9') return SettingProblem::NotAnAddress;
    int digits = 0;
    int value = 0;
    while (*p >= '0' && *p <= '9' && digits < 4) {
      value = value * 10 + (*p++ - '0');
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) return SettingProblem::NotAnAddress;
  }
  return *p == '\0' ? SettingProblem::None : SettingProblem::NotAnAddress;
}

bool Settings::isHostName(const char* text) {
  return (text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z');
}

SettingProblem Settings::checkMulticastAddress(const char* text) {
  if (text == nullptr || text[0] == '\0') return SettingProblem::Missing;
  if (std::strlen(text) > kMulticastAddressSize - 1) return SettingProblem::TooLong;
  return isMulticastAddress(text) ? SettingProblem::None : SettingProblem::NotMulticast;
}

bool Settings::isMulticastAddress(const char* text) {
  if (text == nullptr || text[0] == '\0') return false;
  // Only what the dotted forms are written with: digits, hexadecimal digits and their "0x",
  // and dots.
  for (const char* p = text; *p != '\0'; ++p) {
    const char c = *p;
    const bool allowed = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
                         (c >= 'A' && c <= 'F') || c == 'x' || c == 'X' || c == '.';
    if (!allowed) return false;
  }
  const std::uint32_t address = convertAddress(text);
  // All ones is also the conversion's failure, but lies outside the range anyway.
  return (networkToHost32(address) >> 28) == (224u >> 4);
}
