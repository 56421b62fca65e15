#include "InputLines.h"

#include "platform/StandardInput.h"

namespace msgclient {

void InputLines::finishLine() {
  if (!current_.text.empty() && current_.text.back() == '\r') current_.text.pop_back();
  lines_.push_back(std::move(current_));
  current_ = Line();
}

int InputLines::next(std::string* line, int milliseconds, bool* cut) {
  while (lines_.empty()) {
    if (ended_) return -1;
    const int ready = waitForStandardInput(milliseconds);
    if (ready == 0) return 0;
    char chunk[1024];
    const long got = ready < 0 ? -1 : readStandardInput(chunk, sizeof chunk);
    if (got <= 0) {
      ended_ = true;
      if (!current_.text.empty() || current_.cut) finishLine();
      continue;
    }
    for (long i = 0; i < got; ++i) {
      if (chunk[i] == '\n') {
        finishLine();
      } else if (current_.text.size() < MAX_LINE) {
        current_.text += chunk[i];
      } else {
        current_.cut = true;
      }
    }
  }
  *line = std::move(lines_.front().text);
  if (cut != nullptr) *cut = lines_.front().cut;
  lines_.pop_front();
  return 1;
}

}  // namespace msgclient
