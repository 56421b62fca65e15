// Roster: who else is on line, as the server has told this client: the user list at login
// (in one packet or in several parts), then one entry for each user who joins and a name for
// each who leaves. Entries are kept by name; an entry for a name already known replaces it.
// Thread safety: every operation takes the roster's own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace msgclient {

struct RosterEntry {
  std::string name;
  std::string host;
  std::string fullName;
  std::int64_t since = 0;  // connect time, seconds since 1970
};

class Roster {
 public:
  // Reads the entries of a USER payload: entries separated by ENTRY_SEP, fields by FIELD_SEP
  // (name, host, full name, connect time), a final PAYLOAD_END. An entry with more than four
  // fields has a name that holds FIELD_SEP itself; the last three fields are the fixed ones.
  // Entries with fewer than four fields are skipped.
  static std::vector<RosterEntry> parse(const unsigned char* bytes, std::size_t length);

  // Adds or replaces entries.
  void add(const std::vector<RosterEntry>& entries);
  // False when the name was not on the roster.
  bool remove(const std::string& name);
  // The entries sorted by name.
  std::vector<RosterEntry> snapshot() const;

 private:
  mutable std::mutex lock_;
  std::vector<RosterEntry> entries_;
};

}  // namespace msgclient
