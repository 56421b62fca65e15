// PasswordHash: passwords kept as one-way hashes in the system's own storage format (a text
// that begins with '$', the method between the first two): yescrypt ("$y$") and SHA-512
// ("$6$"). Where the system has no such hashing (the Windows build), available() is false,
// make() fails and no hash is ever checkable, so a hashed record admits nobody there.
//
// A stored hash names its own cost. A hash whose cost is above what the server will spend on
// one login (yescrypt above kMostYescryptCost, SHA-512 above kMostSha512Rounds) is not
// checkable: one edited record could otherwise make each login to it take seconds and a
// gigabyte. Checking a checkable hash takes at most about half a second and 130 MiB.
//
// Thread safety: every function may be called from any thread at once; none takes a lock.
#pragma once

#include <cstddef>

class PasswordHash {
 public:
  enum class Method { Yescrypt, Sha512 };

  // Room for any hash that make() writes or checkable() accepts, with its terminator.
  static constexpr std::size_t kHashSize = 160;
  // The highest yescrypt cost (1 to 11, the system's own scale) and the most SHA-512 rounds
  // checked; make() writes the system's default cost (yescrypt 5, SHA-512 5000 rounds).
  static constexpr int kMostYescryptCost = 8;
  static constexpr long kMostSha512Rounds = 1000000;

  // True when this system can make and check hashes.
  static bool available();
  // A hash of password with a fresh random salt in hash (at least kHashSize bytes); false (hash
  // holds an empty text) when the system cannot make one.
  static bool make(Method method, const char* password, char* hash, std::size_t size);
  // True when stored is a hash in a method and at a cost this system checks.
  static bool checkable(const char* stored);
  // True when stored is checkable and password hashes to it. The comparison of the two hashes
  // takes the same time wherever they differ.
  static bool matches(const char* password, const char* stored);
  // True when a and b are the same text, in a time that depends on their lengths only, not on
  // where they differ.
  static bool sameSecret(const char* a, const char* b);
};
