#include "core/ConfigProblems.h"

#include <cstring>

void ConfigProblems::begin(const char* path) {
  entries_.clear();
  dropped_ = 0;
  quote(path != nullptr ? path : "", file_, sizeof file_);
}

void ConfigProblems::add(ConfigKey key, SettingProblem problem, long line, const char* word) {
  if (entries_.size() >= kMostKept) {
    ++dropped_;
    return;
  }
  Entry entry{key, problem, line, {}};
  quote(word != nullptr ? word : "", entry.word, sizeof entry.word);
  entries_.push_back(entry);
}

void ConfigProblems::quote(const char* text, char* buffer, std::size_t size) {
  if (buffer == nullptr || size < 4) return;
  const std::size_t room = size - 4;
  std::size_t used = 0;
  for (; text[used] != '\0' && used < room; ++used) {
    const unsigned char c = static_cast<unsigned char>(text[used]);
    buffer[used] = c >= ' ' && c <= '~' ? static_cast<char>(c) : '?';
  }
  if (text[used] != '\0') {
    std::memcpy(buffer + used, "...", 3);
    used += 3;
  }
  buffer[used] = '\0';
}
