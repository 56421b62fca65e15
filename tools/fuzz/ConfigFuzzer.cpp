// The configuration file reader. The input is a ".serverrc"; it is read into a server with its
// defaults, and the same file written with CR LF line ends is read into it again: a file from
// the other kind of system must give exactly the same settings. Every setting must stay in its
// range: the level, the host check and the multicast scope among their values, the multicast
// address within its field, each path one word of a line, the listening address a dotted
// address of at most 15 characters. An unknown security word leaves no level at all. Every
// problem the reader noted is reported as printable text, and at most so many are kept.
//
// Two things an input could make the reader do are kept inside the harness: an "mcastaddress"
// value that begins with a letter is looked up as a host name (the network, and slow), so its
// first letter becomes a digit; and a path could name any file that the error log is then
// appended to, so every '/' becomes '_' and the files stay in the harness's own folder.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "FuzzSupport.h"

namespace {

constexpr std::size_t kMaxFile = 16384;
const char* const kConfigName = ".serverrc";

Server& harness() {
  static Server* instance = [] {
    fuzzFolder();
    return new Server(10);
  }();
  return *instance;
}

void restoreDefaults(Server& server) {
  server.listener.localPort = 5412;
  server.setListenAddress("127.0.0.1");
  server.securityLevel = FREEFORALL;
  server.hostCheck = 0;
  server.setPasswdFile("passwd");
  server.setHostsFile("hosts");
  server.setConnectionLogFile("connectionlog");
  server.setErrorLogFile(".servererrors");
  server.setMcastAddress("");
  server.mcastPort = 4658;
  server.mcastTtl = REGION;
  server.capacity = 10;
  server.loginTimeout = 60;
  server.transport.sendQueueBytes = 256 * 1024;
  server.maxPerHost = 0;
  server.messageRate = 0;
  server.messageBurst = 0;
  server.passwordStorage = CLEAR_PASSWORDS;
}

struct SettingValues {
  std::uint16_t port;
  int level;
  int hostCheck;
  std::string listen, passwd, hosts, connectionLog, errorLog, mcastAddress;
  std::uint16_t mcastPort;
  std::int32_t mcastTtl, capacity, loginTimeout, sendQueueBytes, maxPerHost, messageRate,
      messageBurst, passwordStorage;

  bool operator==(const SettingValues&) const = default;
};

std::string path(const Server& server, char* (Server::*get)(char*, std::size_t) const) {
  char buffer[PATH_TEXT_SIZE];
  FUZZ_CHECK((server.*get)(buffer, sizeof buffer) != nullptr);
  return buffer;
}

SettingValues settingsOf(const Server& server) {
  char address[sizeof server.mcastAddress];
  server.getMcastAddress(address, sizeof address);
  return SettingValues{server.listener.localPort,
                       static_cast<int>(server.securityLevel.load()),
                       static_cast<int>(server.hostCheck.load()),
                       server.listener.localAddress,
                       path(server, &Server::getPasswdFile),
                       path(server, &Server::getHostsFile),
                       path(server, &Server::getConnectionLogFile),
                       path(server, &Server::getErrorLogFile),
                       address,
                       server.mcastPort.load(),
                       server.mcastTtl.load(),
                       server.capacity.load(),
                       server.loginTimeout.load(),
                       server.transport.sendQueueBytes.load(),
                       server.maxPerHost.load(),
                       server.messageRate.load(),
                       server.messageBurst.load(),
                       static_cast<std::int32_t>(server.passwordStorage.load())};
}

// A path is one word of one line: not empty, no space, within a line's piece.
bool isWord(const std::string& text) {
  return !text.empty() && text.size() < TEXT_LINE_SIZE && text.find(' ') == std::string::npos &&
         text.find('/') == std::string::npos;
}

void checkRanges(const SettingValues& settings) {
  FUZZ_CHECK(settings.level == SECURITY_UNSET ||
             Settings::securityLevelName(settings.level) != nullptr);
  FUZZ_CHECK(Settings::checkListenAddress(settings.listen.c_str()) == SettingProblem::None);
  FUZZ_CHECK(settings.hostCheck == 0 || settings.hostCheck == 1);
  FUZZ_CHECK(Settings::multicastTtlName(settings.mcastTtl) != nullptr);
  FUZZ_CHECK(Settings::kLoginTimeout.contains(settings.loginTimeout));
  FUZZ_CHECK(Settings::kSendQueue.contains(settings.sendQueueBytes / 1024));
  FUZZ_CHECK(Settings::kMaxPerHost.contains(settings.maxPerHost));
  FUZZ_CHECK(Settings::kMessageRate.contains(settings.messageRate));
  FUZZ_CHECK(Settings::kMessageRate.contains(settings.messageBurst));
  FUZZ_CHECK(Settings::passwordStorageName(settings.passwordStorage) != nullptr);
  FUZZ_CHECK(settings.mcastAddress.size() <= 15);
  FUZZ_CHECK(settings.mcastAddress.find(' ') == std::string::npos);
  FUZZ_CHECK(isWord(settings.passwd) && isWord(settings.hosts));
  FUZZ_CHECK(isWord(settings.connectionLog) && isWord(settings.errorLog));
}

// Keeps the reader off the network and inside the folder (see the top of the file).
std::string tamed(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  for (char& c : text) {
    if (c == '/') c = '_';
  }
  static const char kKey[] = "mcastaddress";
  const std::size_t keyLength = sizeof kKey - 1;
  for (std::size_t at = 0; at + keyLength <= text.size(); ++at) {
    bool match = true;
    for (std::size_t i = 0; match && i < keyLength; ++i) {
      match = std::tolower(static_cast<unsigned char>(text[at + i])) == kKey[i];
    }
    if (!match) continue;
    std::size_t value = at + keyLength;
    while (value < text.size() && text[value] == ' ') ++value;
    if (value < text.size() && std::isalpha(static_cast<unsigned char>(text[value]))) {
      text[value] = '0';
    }
  }
  return text;
}

SettingValues readInto(Server& server, const std::string& content) {
  writeFile(kConfigName, reinterpret_cast<const std::uint8_t*>(content.data()), content.size());
  restoreDefaults(server);
  FUZZ_CHECK(server.readConfigFile(kConfigName, false));
  FUZZ_CHECK(server.configProblems.entries().size() <= ConfigProblems::kMostKept);
  for (unsigned char c : server.describeConfigProblems()) {
    FUZZ_CHECK(c == '\n' || c == '\t' || (c >= ' ' && c <= '~'));
  }
  return settingsOf(server);
}

// Whatever the error log wrote, under whichever name, goes.
void removeOtherFiles() {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(fuzzFolder(), ignored)) {
    if (entry.path().filename() != kConfigName) std::filesystem::remove_all(entry.path(), ignored);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxFile) return 0;
  Server& server = harness();
  const std::string content = tamed(data, size);
  InFuzzFolder inside;

  SettingValues plain = readInto(server, content);
  checkRanges(plain);
  SettingValues carriageReturns = readInto(server, withCarriageReturns(content));
  FUZZ_CHECK(plain == carriageReturns);
  removeOtherFiles();
  return 0;
}
