// InputLines: the lines of standard input, read without the C library's buffering so that a
// wait for the next line can be bounded and the program can look at its connection in
// between. A line ends at a line feed; a carriage return before it is dropped; a last line
// without a line feed still counts. A line longer than MAX_LINE bytes is cut there and the
// rest of it is read and dropped.
// Thread safety: one reading thread.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

namespace msgclient {

class InputLines {
 public:
  static constexpr std::size_t MAX_LINE = 4096;

  // Waits at most the given time (negative: without limit) for the next whole line: 1 with
  // the line in *line (and *cut set when it was longer than MAX_LINE; cut may be null), 0 on
  // a time-out, -1 at the end of input (or when reading fails) with no line left.
  int next(std::string* line, int milliseconds, bool* cut = nullptr);

 private:
  struct Line {
    std::string text;
    bool cut = false;
  };

  void finishLine();

  std::deque<Line> lines_;  // whole lines not yet taken
  Line current_;            // the line being read
  bool ended_ = false;
};

}  // namespace msgclient
