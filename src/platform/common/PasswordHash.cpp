// What every system shares of password hashes: the comparison that does not stop early.
#include "platform/PasswordHash.h"

#include <cstring>

bool PasswordHash::sameSecret(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return false;
  const std::size_t lengthA = std::strlen(a);
  const std::size_t lengthB = std::strlen(b);
  // Every byte of a is compared (against b's, or against itself once b has ended), so the time
  // does not tell how long a prefix two texts share.
  unsigned char difference = lengthA == lengthB ? 0 : 1;
  for (std::size_t i = 0; i < lengthA; ++i) {
    const unsigned char other = i < lengthB ? static_cast<unsigned char>(b[i])
                                            : static_cast<unsigned char>(~a[i]);
    difference |= static_cast<unsigned char>(a[i]) ^ other;
  }
  return difference == 0;
}
