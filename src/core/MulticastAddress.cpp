#include "core/MulticastAddress.h"

#include <cstdint>

#include "platform/Network.h"

bool isMulticastAddress(const char* text) {
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
