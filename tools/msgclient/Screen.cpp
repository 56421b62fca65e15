#include "Screen.h"

#include <cstdio>

namespace msgclient {

namespace {

void writeWhole(std::FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace

void Screen::line(const std::string& text) {
  std::string whole = text;
  whole += '\n';
  std::lock_guard<std::mutex> hold(lock_);
  writeWhole(stdout, whole);
}

void Screen::prompt(const std::string& text) {
  std::lock_guard<std::mutex> hold(lock_);
  writeWhole(stdout, text);
}

void Screen::error(const std::string& text) {
  std::string whole = text;
  whole += '\n';
  std::lock_guard<std::mutex> hold(lock_);
  std::fflush(stdout);
  writeWhole(stderr, whole);
}

}  // namespace msgclient
