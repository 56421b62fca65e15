// ConfigProblems: the lines of the configuration file that could not be used as they were
// written, as the reader met them: an unknown key, a key without a value, a value that is no
// word, number or address the setting takes. Kept so that the diagnostics (D, --check) report
// them again after the reading.
//
// Owns: its entries, at most kMostKept of them (a file could hold a million bad lines); past
// that only their count. Every text it keeps is bounded and printable whatever the file held.
// Thread safety: none inside; only the console thread reads the file and runs the diagnostics.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/Settings.h"

// The keys of the configuration file.
enum class ConfigKey {
  Unknown,
  Port,
  Listen,
  Security,
  HostCheck,
  Passwd,
  Hosts,
  ConnectionLog,
  ErrorLog,
  McastAddress,
  McastPort,
  McastTtl,
  Capacity,
  LoginTimeout,
  SendQueue,
  MaxPerHost,
  MessageRate,
  MessageBurst,
  PasswordHash,
};

class ConfigProblems {
 public:
  static constexpr std::size_t kMostKept = 100;
  // The longest word quoted from the file; a longer one is cut and ends in "...".
  static constexpr std::size_t kWordLength = 40;
  // The longest file name quoted; a longer one is cut the same way.
  static constexpr std::size_t kFileLength = 120;

  struct Entry {
    ConfigKey key;
    SettingProblem problem;  // UnknownWord with ConfigKey::Unknown: the key itself is unknown
    long line;
    char word[kWordLength + 4];  // the value (or the unknown key) as quoted; empty when missing
  };

  // Forgets every entry: a new reading of the file named path begins.
  void begin(const char* path);
  // Notes one problem; past kMostKept entries it is only counted.
  void add(ConfigKey key, SettingProblem problem, long line, const char* word);

  const std::vector<Entry>& entries() const { return entries_; }
  // Every problem noted, those kept and those only counted.
  std::uint64_t total() const { return entries_.size() + dropped_; }
  bool empty() const { return total() == 0; }
  // The file the entries come from, as quoted.
  const char* file() const { return file_; }

  // Copies text into buffer as it may be shown: each byte outside ' ' to '~' becomes '?', and
  // a text longer than size - 4 characters is cut to that and ends in "...". size must be at
  // least 4.
  static void quote(const char* text, char* buffer, std::size_t size);

 private:
  std::vector<Entry> entries_;
  std::uint64_t dropped_ = 0;
  char file_[kFileLength + 4] = "";
};
