// The password file readers: verifyPassword, lookupFullName and addUser over a file from the
// input. A file with CR LF line ends reads the same. The full name always comes back terminated
// and padded with NULs within the buffer; addUser either leaves the file exactly as it was or
// appends exactly one record on a line of its own; a name that verifies already is never added
// again; and a record that was added (with a name, password and full name as the console allows
// them) verifies and gives its full name, unless a line that begins with a colon named the user
// first (the readers skip leading colons, addUser by design does not).
//
// Hashed records ('$' fields) take part: a record whose password the console would only store
// hashed (one that begins with '$') is added as its SHA-512 hash and must verify by the
// password; the census of clear and uncheckable records reads the same in CR LF.
//
// Input: three lines (name, password, full name), then the file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "platform/PasswordHash.h"
#include "store/LineReader.h"

namespace {

constexpr std::size_t kMaxFile = 16384;

FuzzServer& harness() {
  static FuzzServer* instance = new FuzzServer(1);
  return *instance;
}

// The next line of the input (without its line feed, cut at a NUL); the rest stays in input.
std::string takeLine(const std::uint8_t*& data, std::size_t& size) {
  const void* end = std::memchr(data, '\n', size);
  std::size_t length = end != nullptr ? static_cast<const std::uint8_t*>(end) - data : size;
  std::string line(reinterpret_cast<const char*>(data), length);
  line = line.c_str();
  std::size_t taken = end != nullptr ? length + 1 : length;
  data += taken;
  size -= taken;
  return line;
}

// As the console allows them: not empty, no colon, no line end.
bool isClean(const std::string& text) {
  return !text.empty() && text.find_first_of(":\r\n") == std::string::npos;
}

struct Census {
  long clear = -1;
  long uncheckable = -1;
  bool read = false;
  bool operator==(const Census&) const = default;
};

Census censusOf(Server& server) {
  Census census;
  census.read = server.countPasswordRecords(&census.clear, &census.uncheckable) != 0;
  FUZZ_CHECK(census.clear >= 0 && census.uncheckable >= 0);
  return census;
}

// True when some line (or piece of a long line) of the file begins with a colon: the readers
// skip leading colons, addUser does not, so such a line can name a user addUser does not see.
bool hasLineOpeningWithColon(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "r");
  FUZZ_CHECK(file != nullptr);
  LineReader reader(file);
  char line[TEXT_LINE_SIZE];
  bool found = false;
  while (!found && reader.next(line, sizeof line)) found = line[0] == ':';
  std::fclose(file);
  return found;
}

// The full name in buffers of several sizes: the same text, cut, terminated and NUL-padded.
std::string checkedFullName(Server& server, const std::string& name) {
  static const std::size_t kSizes[] = {1, 2, 9, 128, 1024};
  std::string widest;
  char buffer[1025];  // one more, to see that nothing is written past the size
  for (std::size_t size : kSizes) {
    std::memset(buffer, 'x', sizeof buffer);
    FUZZ_CHECK(server.lookupFullName(name.c_str(), buffer, size) == buffer);
    std::size_t length = std::strlen(buffer);
    FUZZ_CHECK(length < size);
    for (std::size_t i = length; i < size; ++i) FUZZ_CHECK(buffer[i] == '\0');
    FUZZ_CHECK(buffer[size] == 'x');
    // The sizes grow: each text begins with the one before it.
    FUZZ_CHECK(std::string(buffer).compare(0, widest.size(), widest) == 0);
    widest = buffer;
  }
  return widest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxFile) return 0;
  const std::string name = takeLine(data, size);
  const std::string password = takeLine(data, size);
  const std::string fullName = takeLine(data, size);

  FuzzServer& fuzz = harness();
  Server& server = fuzz.server;
  server.securityLevel = LOGIN;
  trimLog(fuzzFolder() / ".servererrors");
  const std::string path = (fuzzFolder() / "passwd").string();
  writeFile(path, data, size);
  const std::string before(reinterpret_cast<const char*>(data), size);

  // The same file written with CR LF line ends reads the same.
  const std::string crlf = withCarriageReturns(before);
  writeFile(path, reinterpret_cast<const std::uint8_t*>(crlf.data()), crlf.size());
  const bool verifiedInCrlf = server.verifyPassword(name.c_str(), password.c_str()) != 0;
  const std::string fullNameInCrlf = checkedFullName(server, name);
  const Census censusInCrlf = censusOf(server);
  writeFile(path, data, size);

  const bool verified = server.verifyPassword(name.c_str(), password.c_str()) != 0;
  FUZZ_CHECK(verified == verifiedInCrlf);
  FUZZ_CHECK(checkedFullName(server, name) == fullNameInCrlf);
  FUZZ_CHECK(censusOf(server) == censusInCrlf);
  const bool colonLines = hasLineOpeningWithColon(path);

  // A password that begins with '$' is stored hashed, as the console would store it.
  const bool hashed = !password.empty() && password[0] == '$';
  server.passwordStorage = hashed ? SHA512 : CLEAR_PASSWORDS;
  char field[PasswordHash::kHashSize];
  const bool prepared = server.passwordField(password.c_str(), field, sizeof field) != 0;
  // The system hashes any password of a line's length (it refuses some far longer ones).
  FUZZ_CHECK(prepared || !PasswordHash::available() || !hashed ||
             password.size() >= TEXT_LINE_SIZE);
  const std::string stored = prepared ? field : password;
  const bool added = server.addUser(name.c_str(), stored.c_str(), fullName.c_str()) != 0;
  const std::string after = readFile(path);
  if (!added) {
    FUZZ_CHECK(after == before);
    return 0;
  }
  FUZZ_CHECK(!verified || colonLines);
  std::string record = name + ":" + stored + ":" + fullName + "\n";
  if (!before.empty() && before.back() != '\n') record = "\n" + record;
  FUZZ_CHECK(after == before + record);

  // A record of one piece: a longer line would be read as several.
  const bool onePiece = record.size() <= TEXT_LINE_SIZE;
  if (isClean(name) && isClean(password) && isClean(fullName) && onePiece && !colonLines &&
      prepared) {
    FUZZ_CHECK(server.verifyPassword(name.c_str(), password.c_str()));
    FUZZ_CHECK(checkedFullName(server, name) == fullName);
  }
  return 0;
}
