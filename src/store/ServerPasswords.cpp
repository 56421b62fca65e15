// The password file: one "name:password:full name" record per line, read by the login and the
// user lists and appended to by the console. The file is guarded by its own file mutex, named
// by its path, from before it is opened until after it is closed; in addUser that covers the
// duplicate scan and the append together, so one name is never added twice. Every failure
// releases the file mutex before it is reported, since reporting writes the error log. Blank
// lines hold no record: every reader skips them, so a file edited by hand reads the same in each.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/Server.h"
#include "platform/PasswordHash.h"
#include "store/DataFile.h"
#include "store/LineReader.h"

namespace {

// Lines are read in pieces of at most 255 characters; a longer line is several lines.
constexpr std::size_t LINE_SIZE = 256;
// Room for a message around a whole configured path or a name from a packet.
constexpr std::size_t MESSAGE_SIZE = PATH_TEXT_SIZE + 64;

const char* const NO_FILE = "Internal Error: No passwd file specified.";
const char* const UNAVAILABLE = "UNAVAILABLE";
// The first user is added to a file that does not exist yet; only its owner may read it.
const DataFile::Creation CREATE_PASSWD{"password", 0600};

// The next field of a line split at colons, or null when none is left. A run of colons is one
// separator and leading colons are skipped, so an empty field never counts as a field and the
// next non-empty text takes its place. The field is terminated in place and *cursor moves past
// it; all state lives in the caller's cursor, so threads can split lines at the same time.
char* nextField(char*& cursor) {
  while (*cursor == ':') ++cursor;
  if (*cursor == '\0') return nullptr;
  char* field = cursor;
  while (*cursor != '\0' && *cursor != ':') ++cursor;
  if (*cursor == ':') *cursor++ = '\0';
  return field;
}

// Copies at most size - 1 characters, fills the rest with NULs; byte size - 1 is always NUL.
char* copyPadded(char* buffer, std::size_t size, const char* text) {
  if (size == 0) return buffer;
  std::strncpy(buffer, text, size - 1);
  buffer[size - 1] = '\0';
  return buffer;
}

}  // namespace

// Takes the password file's mutex for the reading; a hash is checked after it is let go.
Bool16 Server::verifyPassword(const char* userName, const char* password) {
  if (userName == nullptr || password == nullptr) return 0;
  char path[PATH_TEXT_SIZE];
  if (getPasswdFile(path, sizeof path) == nullptr) {
    report(NO_FILE);
    return 0;
  }
  char stored[LINE_SIZE];
  {
    DataFile passwd(*this, "passwd", path);
    if (!passwd.isOpen()) return 0;
    LineReader reader(passwd.file());
    char line[LINE_SIZE];
    bool found = false;
    while (!found && reader.nextNonBlank(line, sizeof line)) {
      char* cursor = line;
      const char* name = nextField(cursor);
      if (name == nullptr || std::strcmp(name, userName) != 0) continue;
      // The first record for the name decides.
      found = true;
      const char* field = nextField(cursor);
      copyPadded(stored, sizeof stored, field != nullptr ? field : "");
    }
    if (!found) return 0;
  }
  char message[MESSAGE_SIZE];
  if (stored[0] == '\0') {
    std::snprintf(message, sizeof message, "Internal Error: Password for %s does not exist.",
                  userName);
    report(message);
    return 0;
  }
  if (stored[0] != '$') return PasswordHash::sameSecret(stored, password) ? 1 : 0;
  if (!PasswordHash::checkable(stored)) {
    std::snprintf(message, sizeof message,
                  "Internal Error: Password for %s is a hash this system cannot check.",
                  userName);
    report(message);
    return 0;
  }
  if (!hashTurns.take([this] { return gate.halting(); })) return 0;
  const bool matches = PasswordHash::matches(password, stored);
  hashTurns.give();
  return matches ? 1 : 0;
}

Bool16 Server::passwordField(const char* password, char* field, std::size_t size) {
  if (password == nullptr || field == nullptr || size == 0) return 0;
  field[0] = '\0';
  const PasswordStorage storage = passwordStorage;
  if (storage == CLEAR_PASSWORDS) {
    if (password[0] == '$') {
      report("Internal Error: A password kept in clear cannot begin with '$'.");
      return 0;
    }
    if (std::strlen(password) >= size) return 0;
    copyPadded(field, size, password);
    return 1;
  }
  const PasswordHash::Method method =
      storage == SHA512 ? PasswordHash::Method::Sha512 : PasswordHash::Method::Yescrypt;
  if (PasswordHash::make(method, password, field, size)) return 1;
  char message[MESSAGE_SIZE];
  std::snprintf(message, sizeof message,
                PasswordHash::available()
                    ? "Internal Error: Could not hash the password (passwordhash %s)."
                    : "Internal Error: Passwords cannot be hashed on this system (passwordhash %s).",
                Settings::passwordStorageName(storage));
  report(message);
  return 0;
}

// Takes the password file's mutex for the reading.
Bool16 Server::countPasswordRecords(long* clear, long* uncheckable) {
  *clear = 0;
  *uncheckable = 0;
  char path[PATH_TEXT_SIZE];
  if (getPasswdFile(path, sizeof path) == nullptr) return 0;
  DataFile passwd(*this, "passwd", path);
  if (!passwd.isOpen()) return 0;
  LineReader reader(passwd.file());
  char line[LINE_SIZE];
  while (reader.nextNonBlank(line, sizeof line)) {
    char* cursor = line;
    if (nextField(cursor) == nullptr) continue;
    const char* stored = nextField(cursor);
    if (stored == nullptr) continue;
    if (stored[0] != '$') {
      ++*clear;
    } else if (!PasswordHash::checkable(stored)) {
      ++*uncheckable;
    }
  }
  return 1;
}

// Takes the password file's mutex unless the level is FREEFORALL; callers may hold users.
char* Server::lookupFullName(const char* userName, char* buffer, std::size_t size) {
  if (buffer == nullptr) return nullptr;
  // Without passwords the file need not exist, so no name is looked up.
  if (securityLevel.load() == FREEFORALL) return copyPadded(buffer, size, UNAVAILABLE);
  char path[PATH_TEXT_SIZE];
  if (getPasswdFile(path, sizeof path) == nullptr) {
    report(NO_FILE);
    return nullptr;
  }
  DataFile passwd(*this, "passwd", path);
  if (!passwd.isOpen()) return nullptr;
  const char* fullName = UNAVAILABLE;
  LineReader reader(passwd.file());
  char line[LINE_SIZE];
  while (userName != nullptr && reader.nextNonBlank(line, sizeof line)) {
    char* cursor = line;
    const char* name = nextField(cursor);
    if (name == nullptr || std::strcmp(name, userName) != 0) continue;
    const char* password = nextField(cursor);
    const char* field = password != nullptr ? nextField(cursor) : nullptr;
    if (field != nullptr) fullName = field;
    break;
  }
  return copyPadded(buffer, size, fullName);
}

// Takes the password file's mutex once for the whole list.
void Server::lookupFullNames(const std::vector<ListedUser>& listed,
                             std::vector<std::string>* fullNames) {
  fullNames->assign(listed.size(), UNAVAILABLE);
  if (listed.empty() || securityLevel.load() == FREEFORALL) return;
  char path[PATH_TEXT_SIZE];
  if (getPasswdFile(path, sizeof path) == nullptr) {
    report(NO_FILE);
    return;
  }
  // Names on line are unique; the first record of each decides, as in lookupFullName.
  std::unordered_map<std::string_view, std::size_t> wanted;
  for (std::size_t i = 0; i < listed.size(); ++i) wanted.emplace(listed[i].name, i);
  DataFile passwd(*this, "passwd", path);
  if (!passwd.isOpen()) return;
  LineReader reader(passwd.file());
  char line[LINE_SIZE];
  while (!wanted.empty() && reader.nextNonBlank(line, sizeof line)) {
    char* cursor = line;
    const char* name = nextField(cursor);
    if (name == nullptr) continue;
    auto found = wanted.find(name);
    if (found == wanted.end()) continue;
    const char* password = nextField(cursor);
    const char* field = password != nullptr ? nextField(cursor) : nullptr;
    if (field != nullptr) (*fullNames)[found->second] = field;
    wanted.erase(found);
  }
}

// Takes the password file's mutex across the creation, the duplicate scan and the append.
Bool16 Server::addUser(const char* userName, const char* password, const char* fullName) {
  if (userName == nullptr || password == nullptr || fullName == nullptr) return 0;
  char path[PATH_TEXT_SIZE];
  if (getPasswdFile(path, sizeof path) == nullptr) {
    report(NO_FILE);
    return 0;
  }
  DataFile passwd(*this, "passwd", path, &CREATE_PASSWD);
  if (!passwd.isOpen()) return 0;
  LineReader reader(passwd.file());
  char line[LINE_SIZE];
  while (reader.nextNonBlank(line, sizeof line)) {
    char* colon = std::strchr(line, ':');
    if (colon == nullptr) {
      passwd.finish();
      report("Internal Error: Could not parse file.");
      return 0;
    }
    *colon = '\0';
    if (std::strcmp(line, userName) == 0) {
      passwd.finish();
      char message[MESSAGE_SIZE];
      std::snprintf(message, sizeof message, "Internal Error: User %s already exists.",
                    userName);
      report(message);
      return 0;
    }
  }
  std::string record = std::string(userName) + ":" + password + ":" + fullName;
  return passwd.append(record.c_str()) ? 1 : 0;
}
