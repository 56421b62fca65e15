#include "store/LogFile.h"

LogFile::Append LogFile::appendLine(const char* path, const char* text) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!file_.isOpen() || path_ != path || !file_.isAtPath(path)) {
    file_.close();
    path_.clear();
    if (!file_.open(path)) return Append::Failed;
    path_ = path;
  }
  line_.assign(text);
  line_.push_back('\n');  // on every system: the server's files are the same bytes everywhere
  if (!file_.append(line_.data(), line_.size())) {
    file_.close();
    return Append::Failed;
  }
  return Append::Written;
}

void LogFile::close() {
  std::lock_guard<std::mutex> hold(mutex_);
  file_.close();
  path_.clear();
}
