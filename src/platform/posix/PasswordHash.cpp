// Password hashes through the system's crypt library (libcrypt): crypt_gensalt_rn draws the
// salt from the system's random source, crypt_rn hashes into a work area of the caller's own,
// so threads hash at the same time without sharing anything.
#include "platform/PasswordHash.h"

#include <crypt.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

const char* prefixOf(PasswordHash::Method method) {
  return method == PasswordHash::Method::Yescrypt ? "$y$" : "$6$";
}

// The text between the method's prefix and the next '$' (yescrypt's parameters).
std::string parametersOf(const char* setting, std::size_t prefixLength) {
  const char* start = setting + prefixLength;
  const char* end = std::strchr(start, '$');
  return end != nullptr ? std::string(start, end) : std::string();
}

// The yescrypt parameter fields the system writes for the costs it may be asked to check:
// a stored hash is checked only when its parameters are one of these.
const std::vector<std::string>& yescryptParameters() {
  static const std::vector<std::string> known = [] {
    std::vector<std::string> fields;
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    for (int cost = 1; cost <= PasswordHash::kMostYescryptCost; ++cost) {
      if (crypt_gensalt_rn("$y$", cost, nullptr, 0, setting, sizeof setting) != nullptr) {
        fields.push_back(parametersOf(setting, 3));
      }
    }
    return fields;
  }();
  return known;
}

bool costIsBounded(const char* stored) {
  if (std::strncmp(stored, "$y$", 3) == 0) {
    const std::string parameters = parametersOf(stored, 3);
    for (const std::string& known : yescryptParameters()) {
      if (parameters == known) return true;
    }
    return false;
  }
  if (std::strncmp(stored, "$6$", 3) == 0) {
    const char* rounds = "rounds=";
    if (std::strncmp(stored + 3, rounds, std::strlen(rounds)) != 0) return true;  // 5000
    const char* digits = stored + 3 + std::strlen(rounds);
    std::size_t count = std::strspn(digits, "0123456789");
    if (count == 0 || count > 9 || digits[count] != '$') return false;
    return std::strtol(digits, nullptr, 10) <= PasswordHash::kMostSha512Rounds;
  }
  return false;
}

}  // namespace

bool PasswordHash::available() { return true; }

bool PasswordHash::make(Method method, const char* password, char* hash, std::size_t size) {
  if (hash == nullptr || size == 0) return false;
  hash[0] = '\0';
  if (password == nullptr) return false;
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  if (crypt_gensalt_rn(prefixOf(method), 0, nullptr, 0, setting, sizeof setting) == nullptr) {
    return false;
  }
  auto work = std::make_unique<crypt_data>();  // 32 KiB: not for a worker's stack
  const char* made = crypt_rn(password, setting, work.get(), sizeof *work);
  if (made == nullptr || made[0] != '$' || std::strlen(made) >= size) return false;
  std::memcpy(hash, made, std::strlen(made) + 1);
  return true;
}

bool PasswordHash::checkable(const char* stored) {
  if (stored == nullptr || std::strlen(stored) >= kHashSize) return false;
  return costIsBounded(stored) && crypt_checksalt(stored) == CRYPT_SALT_OK;
}

bool PasswordHash::matches(const char* password, const char* stored) {
  if (password == nullptr || !checkable(stored)) return false;
  auto work = std::make_unique<crypt_data>();
  const char* made = crypt_rn(password, stored, work.get(), sizeof *work);
  return made != nullptr && sameSecret(made, stored);
}
