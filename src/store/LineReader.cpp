#include "store/LineReader.h"

int LineReader::rawCharacter() {
  if (pending_ == kNone) return std::getc(file_);
  int c = pending_;
  pending_ = kNone;
  return c;
}

int LineReader::nextCharacter() {
  int c = rawCharacter();
  if (c != '\r') return c;
  int following = rawCharacter();
  if (following == '\n') return '\n';
  pending_ = following;
  return '\r';
}

bool LineReader::next(char* buffer, std::size_t size) {
  if (size == 0) return false;
  const bool begins = atLineStart_;
  if (begins) {
    ++lineNumber_;
    atLineStart_ = false;
  }
  std::size_t used = 0;
  while (used + 1 < size) {
    int c = nextCharacter();
    if (c == EOF) {
      buffer[used] = '\0';
      atLineStart_ = true;
      if (used == 0 && begins) --lineNumber_;  // no line there after all
      return used > 0;
    }
    if (c == '\n') {
      buffer[used] = '\0';
      atLineStart_ = true;
      return true;
    }
    buffer[used++] = static_cast<char>(c);
  }
  buffer[used] = '\0';
  // A full piece: when the line ends right here, its line feed belongs to this piece.
  int c = rawCharacter();
  if (c == '\r') {
    int following = rawCharacter();
    if (following != '\n') {
      std::ungetc(following, file_);  // at most one character is ever pushed back to the file
      pending_ = '\r';
    } else {
      atLineStart_ = true;
    }
  } else if (c == '\n') {
    atLineStart_ = true;
  } else {
    pending_ = c;
  }
  return true;
}

bool LineReader::nextNonBlank(char* buffer, std::size_t size) {
  for (;;) {
    if (!next(buffer, size)) return false;
    if (!isBlank(buffer)) return true;
  }
}

bool LineReader::isBlank(const char* text) {
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p != ' ' && *p != '\t' && *p != '\r') return false;
  }
  return true;
}
