#include "Roster.h"

#include <algorithm>

#include "protocol/Packet.h"

namespace msgclient {

namespace {

std::int64_t readNumber(const std::string& text) {
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || value > 999999999999) return 0;
    value = value * 10 + (c - '0');
  }
  return value;
}

bool parseEntry(std::vector<std::string>& fields, RosterEntry* entry) {
  if (fields.size() < 4) return false;
  const std::size_t extra = fields.size() - 4;
  entry->name = fields[0];
  for (std::size_t i = 1; i <= extra; ++i) {
    entry->name += static_cast<char>(FIELD_SEP);
    entry->name += fields[i];
  }
  entry->host = fields[extra + 1];
  entry->fullName = fields[extra + 2];
  entry->since = readNumber(fields[extra + 3]);
  return true;
}

}  // namespace

std::vector<RosterEntry> Roster::parse(const unsigned char* bytes, std::size_t length) {
  std::vector<RosterEntry> entries;
  if (length > 0 && bytes[length - 1] == PAYLOAD_END) --length;
  std::vector<std::string> fields(1);
  for (std::size_t i = 0; i <= length; ++i) {
    if (i == length || bytes[i] == ENTRY_SEP) {
      RosterEntry entry;
      if (parseEntry(fields, &entry)) entries.push_back(std::move(entry));
      fields.assign(1, std::string());
    } else if (bytes[i] == FIELD_SEP) {
      fields.emplace_back();
    } else {
      fields.back() += static_cast<char>(bytes[i]);
    }
  }
  return entries;
}

void Roster::add(const std::vector<RosterEntry>& entries) {
  std::lock_guard<std::mutex> hold(lock_);
  for (const auto& entry : entries) {
    auto known = std::find_if(entries_.begin(), entries_.end(),
                              [&](const RosterEntry& e) { return e.name == entry.name; });
    if (known != entries_.end()) {
      *known = entry;
    } else {
      entries_.push_back(entry);
    }
  }
}

bool Roster::remove(const std::string& name) {
  std::lock_guard<std::mutex> hold(lock_);
  auto known = std::find_if(entries_.begin(), entries_.end(),
                            [&](const RosterEntry& e) { return e.name == name; });
  if (known == entries_.end()) return false;
  entries_.erase(known);
  return true;
}

std::vector<RosterEntry> Roster::snapshot() const {
  std::vector<RosterEntry> copy;
  {
    std::lock_guard<std::mutex> hold(lock_);
    copy = entries_;
  }
  std::sort(copy.begin(), copy.end(),
            [](const RosterEntry& a, const RosterEntry& b) { return a.name < b.name; });
  return copy;
}

}  // namespace msgclient
