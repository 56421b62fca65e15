// Windows has no hashing in the storage formats the password file uses: records are clear text
// there, and a hashed record admits nobody (the diagnostics say so).
#include "platform/PasswordHash.h"

bool PasswordHash::available() { return false; }

bool PasswordHash::make(Method, const char*, char* hash, std::size_t size) {
  if (hash != nullptr && size > 0) hash[0] = '\0';
  return false;
}

bool PasswordHash::checkable(const char*) { return false; }

bool PasswordHash::matches(const char*, const char*) { return false; }
