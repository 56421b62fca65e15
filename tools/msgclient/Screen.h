// Screen: the client's standard output (and, for failures, standard error). Every line is
// written whole, with one write and a flush under one lock, so a line from the connection's
// thread never lands in the middle of another. The text given must already be safe to show
// (see TerminalText).
// Thread safety: every operation takes the screen's lock.
#pragma once

#include <mutex>
#include <string>

namespace msgclient {

class Screen {
 public:
  // Writes the text and a line feed.
  void line(const std::string& text);
  // Writes the text without a line feed (a question waiting for its answer).
  void prompt(const std::string& text);
  // Writes the text and a line feed to standard error.
  void error(const std::string& text);

 private:
  std::mutex lock_;
};

}  // namespace msgclient
