// TerminalText: makes bytes that came from the network safe to show on a terminal. Printable
// ASCII and well-formed UTF-8 pass unchanged; everything that a terminal would act on instead
// of showing is written as an escape a person can read:
//   \n \r \t          line feed, carriage return, tab
//   \xNN              any other C0 control, DEL, and every byte that is not well-formed UTF-8
//                     (stray continuation bytes, overlong forms, surrogates, beyond U+10FFFF)
//   \uNNNN            C1 controls (U+0080-U+009F) and the characters that reorder or split
//                     lines (U+200E, U+200F, U+2028, U+2029, U+202A-U+202E, U+2066-U+2069),
//                     which could make a line look like something else
// A backslash itself stays as it is: the escapes are for reading, not for decoding back.
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace msgclient {

class TerminalText {
 public:
  // The escaped form of length bytes.
  static std::string escape(const unsigned char* bytes, std::size_t length);
  static std::string escape(std::string_view text);
  // The text of a fixed-size, NUL-padded header field (a field filled to the end has no NUL),
  // escaped.
  static std::string field(const char* bytes, std::size_t size);
};

}  // namespace msgclient
