#include "TempDir.h"

#include <fstream>
#include <random>
#include <sstream>

TempDir::TempDir() {
  std::random_device random;
  auto base = std::filesystem::temp_directory_path();
  for (;;) {
    path_ = base / ("msgserver-test-" + std::to_string(random()));
    if (std::filesystem::create_directory(path_)) break;
  }
  previous_ = std::filesystem::current_path();
  std::filesystem::current_path(path_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::current_path(previous_, ignored);
  std::filesystem::remove_all(path_, ignored);
}

void TempDir::write(const std::string& name, const std::string& content) const {
  {
    std::ofstream out(path_ / name, std::ios::binary | std::ios::trunc);
    out << content;
  }
  std::error_code ignored;
  std::filesystem::permissions(
      path_ / name, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
      ignored);
}

std::filesystem::perms TempDir::permissions(const std::string& name) const {
  std::error_code ignored;
  return std::filesystem::status(path_ / name, ignored).permissions();
}

std::string TempDir::read(const std::string& name) const {
  std::ifstream in(path_ / name, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool TempDir::exists(const std::string& name) const {
  return std::filesystem::exists(path_ / name);
}
