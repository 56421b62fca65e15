// Settings: what the system knows about its configuration values, written once. The reader of
// ".serverrc" (core/ServerConfig.cpp), the configuration dialogue (console/ServerConfigure.cpp)
// and the diagnostics before a start (core/ServerControl.cpp) all ask here.
//
// Owns: the words of the security levels and of the multicast scopes with their values, the
// words of the host check, the range of every number, the size of the multicast address field
// and the one test of a multicast group address. Constant tables only: no state, no lock; every
// function may be called from any thread with any lock held.
//
// The values themselves live in Server; nothing here changes them.
//
// Callers may rely on:
//   - words match in any letter case of ASCII; a value's name is its word in capitals, as the
//     lists and the dialogue show it;
//   - a read* function never fails: it gives the value the reader applies (a keyword's fallback
//     for a word it does not know, the number as the C library reads it) and, beside it,
//     whether the text is good and if not why. The reader applies the value whatever the verdict;
//     the dialogue takes only a good one; a check of a whole file can report each verdict.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/PlatformTypes.h"

// SECURITY_UNSET is no level: what an unknown word in the configuration file leaves, so that a
// typo never turns passwords off; the diagnostics refuse it until a level is chosen.
enum SecurityLevel : std::int16_t { SECURITY_UNSET = 0, FREEFORALL = 1, LOGIN = 2, SECURE = 3 };

// Multicast time-to-live scopes.
enum MulticastScope : std::int32_t {
  HOST = 0,
  SUBNET = 1,
  SITE = 32,
  REGION = 64,
  CONTINENT = 128,
  UNLIMITED = 255
};

// How the console stores a new user's password ("passwordhash"): as typed, or hashed.
enum PasswordStorage : std::int32_t { CLEAR_PASSWORDS = 0, YESCRYPT = 1, SHA512 = 2 };

// The most users a service runs with (one worker thread per slot); start refuses more.
inline constexpr std::int32_t MAX_CAPACITY = 1000;

// Why a text is no good value for a setting.
enum class SettingProblem {
  None,
  Missing,       // nothing where a value belongs
  UnknownWord,   // not one of the words the setting takes
  NotANumber,    // no digits where a number belongs
  OutOfRange,    // a number outside the setting's range (or too large to read)
  TooLong,       // longer than the field that would hold it
  NotMulticast,  // not one address in 224.0.0.0-239.255.255.255
  NotAnAddress,  // not an IPv4 address in four decimal parts
};

// A text read as a setting: the value to apply, and whether and why the text is bad.
template <typename Value>
struct SettingReading {
  Value value;
  SettingProblem problem;

  bool ok() const { return problem == SettingProblem::None; }
};

// The numbers a setting may take, both ends included.
struct NumberRange {
  std::int32_t lowest;
  std::int32_t highest;

  constexpr bool contains(std::int64_t value) const { return value >= lowest && value <= highest; }
  constexpr std::int64_t clamp(std::int64_t value) const {
    return value < lowest ? lowest : value > highest ? highest : value;
  }
};

class Settings {
 public:
  // The server port and the multicast port alike; ports below 1024 are the system's.
  static constexpr NumberRange kPort{1024, 65535};
  // The capacities a service may start with.
  static constexpr NumberRange kCapacity{0, MAX_CAPACITY};
  // The user limits the dialogue offers the operator: fewer than the service could take.
  static constexpr NumberRange kUserLimit{2, 25};
  // Seconds to log in ("logintimeout"); 0 is no limit.
  static constexpr NumberRange kLoginTimeout{0, INT32_MAX};
  // KiB a client's outbox may hold ("sendqueue"): up to 1 GiB.
  static constexpr NumberRange kSendQueue{1, 1024 * 1024};
  // Connections one address may hold at once ("maxperhost"); 0 is no limit.
  static constexpr NumberRange kMaxPerHost{0, MAX_CAPACITY};
  // Packets per second a client may send ("messagerate"), and at once ("messageburst"); 0 is
  // no limit, and no burst given is one second's worth.
  static constexpr NumberRange kMessageRate{0, 1000000};
  // The multicast address field: a dotted address of at most 15 characters and its terminator.
  static constexpr std::size_t kMulticastAddressSize = 16;
  // The longest dotted IPv4 address: "255.255.255.255".
  static constexpr std::size_t kAddressLength = 15;
  // The addresses isMulticastAddress takes, as the operator is told them.
  static constexpr const char* kMulticastRange = "224.0.0.0 - 239.255.255.255";

  // What a word that is no scope reads as; also what the dialogue shows, and keeps, for a
  // value that is none. A word that is no security level has no fallback: it reads as
  // SECURITY_UNSET.
  static constexpr MulticastScope kFallbackMulticastTtl = REGION;

  // "FREEFORALL", "LOGIN" or "SECURE"; any other word reads as SECURITY_UNSET (UnknownWord).
  static SettingReading<SecurityLevel> readSecurityLevel(const char* text);
  // The level's word, or null for a value that is no level.
  static const char* securityLevelName(std::int32_t level);
  // The words in their order, for a prompt or a message: "FREEFORALL, LOGIN, SECURE".
  static const char* securityLevelList();

  // "HOST" to "UNLIMITED"; any other word reads as kFallbackMulticastTtl (UnknownWord).
  static SettingReading<MulticastScope> readMulticastTtl(const char* text);
  // The scope's word, or null for a value that is no scope.
  static const char* multicastTtlName(std::int32_t ttl);
  // "HOST, SUBNET, SITE, REGION, CONTINENT, UNLIMITED".
  static const char* multicastTtlList();

  // "none", "yescrypt" or "sha512" (lower case, as the file writes them); any other word reads
  // as CLEAR_PASSWORDS with UnknownWord, which the reader does not apply.
  static SettingReading<PasswordStorage> readPasswordStorage(const char* text);
  // The storage's word, or null for a value that is none.
  static const char* passwordStorageName(std::int32_t storage);

  // The host check in the file: "TRUE" is on; "FALSE" and any other word are off (any other
  // word with UnknownWord).
  static SettingReading<Bool16> readHostCheck(const char* text);

  // Optional white space, an optional sign and the leading digits, as readLeadingNumber reads
  // them (whatever follows is ignored). NotANumber when no digit comes; OutOfRange outside
  // range, and for more than 18 significant digits, whose wrapped value could fall back inside.
  static SettingReading<std::int64_t> readNumber(const char* text, NumberRange range);

  // The verdict on text as the address to listen on: Missing when empty, TooLong past 15
  // characters, NotAnAddress unless it is exactly four decimal parts of 0-255 joined by dots
  // (no other form: the text is also what clients are sent as the server's address).
  static SettingProblem checkListenAddress(const char* text);

  // True when text names a host to look up rather than giving an address: it begins with a
  // letter.
  static bool isHostName(const char* text);
  // The verdict on text as the multicast address itself (not a host name): Missing when empty,
  // TooLong when it does not fit the field whole (cutting it would make another address of
  // it), NotMulticast when isMulticastAddress fails.
  static SettingProblem checkMulticastAddress(const char* text);
  // True when text is exactly one IPv4 address in 224.0.0.0-239.255.255.255, in any of the
  // classic dotted forms (shorter, hexadecimal, octal), with nothing before or after it: the
  // address conversion stops at white space, so "239.9.9.9 junk" would otherwise pass whole and
  // reach every client as the group.
  static bool isMulticastAddress(const char* text);
};
