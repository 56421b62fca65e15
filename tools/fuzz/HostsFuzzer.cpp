// The trusted-hosts file readers: isTrustedHost and addTrustedHost over a file from the input.
// A file with CR LF line ends lists the same addresses. addTrustedHost either leaves the file
// exactly as it was or appends exactly one entry on a line of its own; a listed address is never
// added again; a blank address (which every reader skips) is neither listed nor added; and an
// address that was added (one line's worth, without line ends) is listed afterwards.
//
// Input: one line (the address), then the file.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "store/LineReader.h"

namespace {

constexpr std::size_t kMaxFile = 16384;

FuzzServer& harness() {
  static FuzzServer* instance = new FuzzServer(1);
  return *instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxFile) return 0;
  const void* end = std::memchr(data, '\n', size);
  const std::size_t lineLength =
      end != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(end) - data)
                     : size;
  const std::string address = std::string(reinterpret_cast<const char*>(data), lineLength).c_str();
  const std::size_t taken = end != nullptr ? lineLength + 1 : lineLength;
  data += taken;
  size -= taken;

  FuzzServer& fuzz = harness();
  Server& server = fuzz.server;
  trimLog(fuzzFolder() / ".servererrors");
  const std::string path = (fuzzFolder() / "hosts").string();
  writeFile(path, data, size);
  const std::string before(reinterpret_cast<const char*>(data), size);

  // The same file written with CR LF line ends lists the same addresses.
  const std::string crlf = withCarriageReturns(before);
  writeFile(path, reinterpret_cast<const std::uint8_t*>(crlf.data()), crlf.size());
  const bool listedInCrlf = server.isTrustedHost(address.c_str()) != 0;
  writeFile(path, data, size);

  const bool listed = server.isTrustedHost(address.c_str()) != 0;
  FUZZ_CHECK(listed == listedInCrlf);
  const bool added = server.addTrustedHost(address.c_str()) != 0;
  const std::string after = readFile(path);
  // Both read the file the same way: an address is either listed or added, unless it is blank.
  if (LineReader::isBlank(address.c_str())) {
    FUZZ_CHECK(!listed && !added);
  } else {
    FUZZ_CHECK(listed != added);
  }
  if (!added) {
    FUZZ_CHECK(after == before);
    return 0;
  }
  std::string entry = address + "\n";
  if (!before.empty() && before.back() != '\n') entry = "\n" + entry;
  FUZZ_CHECK(after == before + entry);
  if (address.size() < TEXT_LINE_SIZE && address.find_first_of("\r\n") == std::string::npos) {
    FUZZ_CHECK(server.isTrustedHost(address.c_str()));
  }
  return 0;
}
