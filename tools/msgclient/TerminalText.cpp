#include "TerminalText.h"

#include <cstdio>

namespace msgclient {

namespace {

void appendHexByte(std::string& out, unsigned char byte) {
  char escape[8];
  std::snprintf(escape, sizeof escape, "\\x%02x", byte);
  out += escape;
}

void appendCodePoint(std::string& out, char32_t code) {
  char escape[12];
  std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(code));
  out += escape;
}

bool showsAsEscape(char32_t code) {
  return (code >= 0x80 && code <= 0x9F) || code == 0x200E || code == 0x200F || code == 0x2028 ||
         code == 0x2029 || (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}

// The length of the well-formed UTF-8 sequence at bytes (2 to 4) and its code point; 0 when
// the bytes there do not form one.
std::size_t decodeSequence(const unsigned char* bytes, std::size_t available, char32_t* code) {
  const unsigned char lead = bytes[0];
  std::size_t length;
  char32_t value;
  char32_t least;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  if (available < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((bytes[i] & 0xC0) != 0x80) return 0;
    value = (value << 6) | (bytes[i] & 0x3F);
  }
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code = value;
  return length;
}

}  // namespace

std::string TerminalText::escape(const unsigned char* bytes, std::size_t length) {
  std::string out;
  out.reserve(length);
  std::size_t at = 0;
  while (at < length) {
    const unsigned char byte = bytes[at];
    if (byte >= 0x20 && byte < 0x7F) {
      out += static_cast<char>(byte);
      ++at;
    } else if (byte == '\n') {
      out += "\\n", ++at;
    } else if (byte == '\r') {
      out += "\\r", ++at;
    } else if (byte == '\t') {
      out += "\\t", ++at;
    } else if (byte < 0x80) {
      appendHexByte(out, byte);
      ++at;
    } else {
      char32_t code = 0;
      std::size_t sequence = decodeSequence(bytes + at, length - at, &code);
      if (sequence == 0) {
        appendHexByte(out, byte);
        ++at;
      } else {
        if (showsAsEscape(code)) {
          appendCodePoint(out, code);
        } else {
          out.append(reinterpret_cast<const char*>(bytes + at), sequence);
        }
        at += sequence;
      }
    }
  }
  return out;
}

std::string TerminalText::escape(std::string_view text) {
  return escape(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

std::string TerminalText::field(const char* bytes, std::size_t size) {
  std::size_t length = 0;
  while (length < size && bytes[length] != '\0') ++length;
  return escape(std::string_view(bytes, length));
}

}  // namespace msgclient
