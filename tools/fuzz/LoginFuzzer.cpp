// The login payload: USER packets with a name, or a name, FIELD_SEP and a password. The input
// is what a client sends after the greeting; it is written whole to the connection, whose
// sending side then closes, and the handshake runs to its end. Its result, the slot it leaves
// and every reply must be those of the handshake's rules, worked out here from the same input:
// the level first, then the refusals, at most three checked attempts with a password, never a
// reserved, empty or taken name, never a name with a control character or a separator byte or
// longer than 127 bytes, never a wrong password. Every refusal leaves one error-log entry, and
// no entry holds a control character or a separator byte of the client's.
//
// Input: byte 0 picks the security level; the rest is the client's byte stream.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "FuzzSupport.h"
#include "platform/SocketPair.h"

namespace {

// Small enough that every reply fits the connection's buffer without being read.
constexpr std::size_t kMaxStream = 8192;
constexpr int kLoggedInSlot = 0;
constexpr int kLoginSlot = 1;
const char* const kLoggedIn = "alice";

// The password file: plain records, so that the first record of a name is easy to know here.
const char kPasswords[] =
    "alice:apw:Alice A\n"
    "bob:secret:Bob B\n"
    "carol:c:Carol C\n"
    "server:s:The Server\n"
    "everyone:e:Everyone\n"
    "bob:second:Bob Again\n";

bool passwordMatches(const std::string& name, const std::string& password) {
  static const char* const kFirstRecords[][2] = {
      {"alice", "apw"}, {"bob", "secret"}, {"carol", "c"}, {"server", "s"}, {"everyone", "e"}};
  for (const auto& record : kFirstRecords) {
    if (name == record[0]) return password == record[1];
  }
  return false;
}

bool isReserved(const std::string& name) { return name == "server" || name == "everyone"; }

// The refusal of a name nobody may have, or "" for a name anybody may have.
std::string forbidden(const std::string& name) {
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F || c >= 0xFC) {
      return "LERRLogin name may not contain control or separator characters.";
    }
  }
  return name.size() > 127 ? "LERRLogin name must be 127 characters or less." : "";
}

FuzzServer& harness() {
  static FuzzServer* instance = [] {
    auto* fuzz = new FuzzServer(2);
    writeFile(fuzzFolder() / "passwd", reinterpret_cast<const std::uint8_t*>(kPasswords),
              sizeof kPasswords - 1);
    return fuzz;
  }();
  return *instance;
}

// One packet of the client's stream as the handshake reads it.
struct Reply {
  bool isLogin;      // a USER packet with a payload
  std::string text;  // its payload up to the first NUL, the last byte taken as the terminator
};

// The packets of the stream up to the first that cannot be read whole (the receive fails there).
std::vector<Reply> packetsOf(const std::uint8_t* stream, std::size_t size) {
  std::vector<Reply> replies;
  std::size_t at = 0;
  for (;;) {
    std::int32_t whole = framedPacketSize(stream + at, size - at);
    if (whole <= 0 || at + static_cast<std::size_t>(whole) > size) return replies;
    const std::uint8_t* packet = stream + at;
    std::uint32_t length = readBigEndian32(packet + 36);
    Reply reply{std::memcmp(packet, "USER", 4) == 0 && length > 0, ""};
    if (reply.isLogin) {
      const char* text = reinterpret_cast<const char*>(packet + HEADER_SIZE);
      const void* nul = std::memchr(text, 0, length - 1);
      reply.text.assign(text, nul != nullptr ? static_cast<const char*>(nul) - text : length - 1);
    }
    replies.push_back(reply);
    at += static_cast<std::size_t>(whole);
  }
}

std::string formatted(const char* format, const std::string& name) {
  char text[TEXT_LINE_SIZE];
  std::snprintf(text, sizeof text, format, name.c_str());
  return text;
}

// What the handshake must do with these replies: the packets it sends ("TYPE" + text) and
// the name it logs in under ("" for none).
struct Outcome {
  std::vector<std::string> sent;
  std::string name;
};

Outcome expectedOutcome(SecurityLevel level, const std::vector<Reply>& replies) {
  Outcome outcome;
  outcome.sent.push_back("LEVL" + std::to_string(static_cast<int>(level)));
  std::size_t next = 0;
  const std::string wrongReply = "MESSError connecting to server.";
  if (next == replies.size()) return outcome;
  if (!replies[next].isLogin) {
    outcome.sent.push_back(wrongReply);
    return outcome;
  }
  if (level == FREEFORALL) {
    for (;;) {
      const std::string& name = replies[next++].text;
      const std::string refusal = forbidden(name);
      if (refusal.empty() && !name.empty() && !isReserved(name) && name != kLoggedIn) {
        outcome.name = name;
        return outcome;
      }
      outcome.sent.push_back(!refusal.empty() ? refusal
                                              : "LERR" + formatted("Login %s already in use.", name));
      if (next == replies.size()) return outcome;
      if (!replies[next].isLogin) {
        outcome.sent.push_back(wrongReply);
        return outcome;
      }
    }
  }
  for (int attempts = 3;;) {
    const std::string& text = replies[next++].text;
    std::size_t separator = text.find(static_cast<char>(FIELD_SEP));
    std::string name = text.substr(0, separator);
    std::string password = separator == std::string::npos ? "" : text.substr(separator + 1);
    if (!forbidden(name).empty()) {
      outcome.sent.push_back(forbidden(name));
    } else if (name == kLoggedIn || isReserved(name)) {
      outcome.sent.push_back("LERR" + formatted("User %s is already logged in!.", name));
    } else if (name.empty() || !passwordMatches(name, password)) {
      outcome.sent.push_back("LERRLogin incorrect.");
    } else {
      outcome.name = name;
      return outcome;
    }
    if (next == replies.size()) break;
    if (!replies[next].isLogin) {
      outcome.sent.push_back(wrongReply);
      break;
    }
    if (--attempts == 0) break;
  }
  outcome.sent.push_back("MESSToo many failed login attempts.");
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size - 1 > kMaxStream) return 0;
  static const SecurityLevel kLevels[] = {FREEFORALL, LOGIN, SECURE};
  const SecurityLevel level = kLevels[data[0] % 3];
  const std::uint8_t* stream = data + 1;
  const std::size_t length = size - 1;

  FuzzServer& fuzz = harness();
  fuzz.reset();
  const std::filesystem::path errorLog = fuzzFolder() / ".servererrors";
  std::error_code ignored;
  std::filesystem::resize_file(errorLog, 0, ignored);
  fuzz.server.securityLevel = level;
  fuzz.connect(kLoggedInSlot, kLoggedIn);
  StreamSocket& client = fuzz.connect(kLoginSlot);
  ConnectionSlot* slot = fuzz.slot(kLoginSlot);
  FUZZ_CHECK(sendAll(client, stream, length));
  FUZZ_CHECK(shutdownSending(client.handle));

  Packet outgoing;
  Packet incoming;
  Bool16 loggedIn = fuzz.server.loginHandshake(slot, &outgoing, &incoming);
  const Outcome expected = expectedOutcome(level, packetsOf(stream, length));

  // The slot and the registry.
  FUZZ_CHECK((loggedIn != 0) == !expected.name.empty());
  if (loggedIn) {
    FUZZ_CHECK(slot->userName != nullptr && expected.name == slot->userName);
    RegistryNode* node = fuzz.server.users.find(slot->userName);
    FUZZ_CHECK(node != nullptr && node->value == slot);
  } else {
    FUZZ_CHECK(slot->userName == nullptr);
  }
  RegistryNode* other = fuzz.server.users.find(kLoggedIn);
  FUZZ_CHECK(other != nullptr && other->value == fuzz.slot(kLoggedInSlot));

  // The replies, whole packets in order.
  std::string bytes = drain(client);
  std::size_t at = 0;
  for (const std::string& want : expected.sent) {
    const auto* front = reinterpret_cast<const unsigned char*>(bytes.data()) + at;
    std::int32_t whole = framedPacketSize(front, bytes.size() - at);
    FUZZ_CHECK(whole > 0 && at + static_cast<std::size_t>(whole) <= bytes.size());
    std::uint32_t payloadLength = readBigEndian32(front + 36);
    FUZZ_CHECK(payloadLength > 0 && front[HEADER_SIZE + payloadLength - 1] == PAYLOAD_END);
    std::string got(reinterpret_cast<const char*>(front), 4);
    got.append(reinterpret_cast<const char*>(front) + HEADER_SIZE, payloadLength - 1);
    FUZZ_CHECK(got == want);
    at += static_cast<std::size_t>(whole);
  }
  FUZZ_CHECK(at == bytes.size());

  // One error-log entry per refusal, each one line whose text holds nothing of the client's
  // that could forge a line, a field or a list entry.
  int refusals = 0;
  for (const std::string& reply : expected.sent) refusals += reply.compare(0, 4, "LERR") == 0;
  int entries = 0;
  const std::string log = readFile(errorLog);
  for (std::size_t start = 0; start < log.size();) {
    std::size_t end = log.find('\n', start);
    FUZZ_CHECK(end != std::string::npos);
    const std::string line = log.substr(start, end - start);
    std::size_t stamp = line.find("\tAT: ");
    FUZZ_CHECK(line.compare(0, 7, "ERROR: ") == 0 && stamp != std::string::npos);
    for (std::size_t i = 7; i < stamp; ++i) {
      const auto c = static_cast<unsigned char>(line[i]);
      FUZZ_CHECK(c >= 0x20 && c != 0x7F && c < 0xFC);
    }
    entries += line.find("Login refused") != std::string::npos;
    start = end + 1;
  }
  FUZZ_CHECK(entries == refusals);
  return 0;
}
