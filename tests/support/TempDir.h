// TempDir: a fresh temporary folder that a test works in; the process's working directory
// moves into it and back, and the folder is removed afterwards.
#pragma once

#include <filesystem>
#include <string>

class TempDir {
 public:
  TempDir();
  ~TempDir();

  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Writes a file below the folder, creating it or replacing its content. The file is left
  // readable by its owner only, as a password file is kept (others may read it: the diagnostics
  // warn); a test that needs other permissions sets them afterwards.
  void write(const std::string& name, const std::string& content) const;
  // The permission bits of a file below the folder (as std::filesystem reports them).
  std::filesystem::perms permissions(const std::string& name) const;
  // The whole content of a file below the folder; empty when it does not exist.
  std::string read(const std::string& name) const;
  bool exists(const std::string& name) const;

 private:
  std::filesystem::path path_;
  std::filesystem::path previous_;
};
