// LineReader: reads a data file line by line as the server's text files are read: a line ends
// at its line feed, which is not returned, and a carriage return just before the line feed is
// dropped too, so files written with CR LF read the same. A line longer than the buffer comes
// back in pieces of size - 1 characters, each as a line of its own; a piece that fills the
// buffer right up to the line feed is the whole line. A blank line (nothing, or only spaces,
// tabs and carriage returns) holds no record in any data file: the record readers skip it.
// Thread safety: one reader per open file.
#pragma once

#include <cstddef>
#include <cstdio>

class LineReader {
 public:
  explicit LineReader(std::FILE* file)
      : file_(file), pending_(kNone), lineNumber_(0), atLineStart_(true) {}

  // The next line (or piece) into buffer, NUL-terminated; false at the end of the file.
  bool next(char* buffer, std::size_t size);
  // next, skipping blank lines and pieces.
  bool nextNonBlank(char* buffer, std::size_t size);
  // The number (from 1) of the line in the file that the last piece returned belongs to: the
  // pieces of one long line share it; 0 before the first.
  long lineNumber() const { return lineNumber_; }
  // True when text is blank: empty, or only spaces, tabs and carriage returns.
  static bool isBlank(const char* text);

 private:
  static constexpr int kNone = -2;

  int rawCharacter();
  int nextCharacter();

  std::FILE* file_;
  int pending_;  // a character read ahead, or kNone
  long lineNumber_;
  bool atLineStart_;  // the next piece begins a line
};
