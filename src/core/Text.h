// Text: the small text rules shared by the configuration file and the console: keywords match
// in any letter case, numbers are read the way the operator expects from the C library.
#pragma once

#include <cstdint>

// True when a and b are equal ignoring the case of ASCII letters.
bool equalsIgnoringCase(const char* a, const char* b);
// Reads optional white space, an optional sign and the leading decimal digits; whatever follows
// is ignored and text that does not begin with a number reads as 0. A number too large for 64
// bits wraps around, so its low bits are always those of the number as written.
std::int64_t readLeadingNumber(const char* text);
// Replaces every control character (below 32, and 127) and every byte the protocol reserves as a
// separator (0xFC to 0xFF) with '?': for text that came from a client or a file on its way to
// the operator's terminal or a log, where a control sequence could rewrite what the operator
// sees and a line feed or tab could forge a record.
void neutraliseClientText(char* text);
// The number clamped to the 32-bit signed range.
std::int32_t clampToInt32(std::int64_t value);
