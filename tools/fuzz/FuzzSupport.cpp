#include "FuzzSupport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

#include "platform/SocketPair.h"

namespace {

// Every input is far smaller than this; a log past it is emptied.
constexpr std::uintmax_t kLogLimit = 1u << 20;

std::filesystem::path* folderPath = nullptr;

void removeFolder() {
  if (folderPath == nullptr) return;
  std::error_code ignored;
  std::filesystem::remove_all(*folderPath, ignored);
}

}  // namespace

void fuzzCheckFailed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "FUZZ_CHECK failed: %s at %s:%d\n", condition, file, line);
  std::fflush(stderr);
  std::abort();
}

InFuzzFolder::InFuzzFolder() {
  std::error_code failed;
  previous_ = std::filesystem::current_path(failed);
  if (!failed) std::filesystem::current_path(fuzzFolder(), failed);
  FUZZ_CHECK(!failed);
}

InFuzzFolder::~InFuzzFolder() {
  std::error_code ignored;
  std::filesystem::current_path(previous_, ignored);
}

const std::filesystem::path& fuzzFolder() {
  if (folderPath == nullptr) {
    std::random_device random;
    char name[64];
    std::snprintf(name, sizeof name, "msgserver-fuzz-%08x%08x", static_cast<unsigned>(random()),
                  static_cast<unsigned>(random()));
    folderPath = new std::filesystem::path(std::filesystem::temp_directory_path() / name);
    std::error_code failed;
    std::filesystem::create_directories(*folderPath, failed);
    if (failed) fuzzCheckFailed("the temporary folder can be made", __FILE__, __LINE__);
    std::atexit(removeFolder);
  }
  return *folderPath;
}

void writeFile(const std::filesystem::path& path, const std::uint8_t* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  FUZZ_CHECK(out.good());
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void trimLog(const std::filesystem::path& path) {
  std::error_code ignored;
  if (std::filesystem::file_size(path, ignored) > kLogLimit) {
    std::filesystem::resize_file(path, 0, ignored);
  }
}

FuzzConnection::FuzzConnection() {
  SocketHandle ends[2];
  FUZZ_CHECK(openSocketPair(ends));
  server = new StreamSocket(ends[0], 0, "", 0, "");
  client = std::make_unique<StreamSocket>(ends[1], 0, "", 0, "");
}

bool sendAll(StreamSocket& socket, const std::uint8_t* data, std::size_t size) {
  std::size_t sent = 0;
  while (sent < size) {
    std::size_t piece = size - sent;
    if (piece > 65536) piece = 65536;
    std::int32_t accepted = socket.send(data + sent, static_cast<std::int32_t>(piece), 0);
    if (accepted <= 0) return false;
    sent += static_cast<std::size_t>(accepted);
  }
  return true;
}

std::string drain(StreamSocket& socket) {
  std::string bytes;
  char buffer[4096];
  while (socket.waitForData(0) > 0) {
    std::int32_t got = socket.receive(buffer, sizeof buffer, 0);
    if (got <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  return bytes;
}

FuzzServer::FuzzServer(int capacity) : server(capacity) {
  const std::filesystem::path& folder = fuzzFolder();
  server.setPasswdFile((folder / "passwd").string().c_str());
  server.setHostsFile((folder / "hosts").string().c_str());
  server.setConnectionLogFile((folder / "connectionlog").string().c_str());
  server.setErrorLogFile((folder / ".servererrors").string().c_str());
  server.loginTimeout = 0;
  // A client end that is not read in time only costs the input a little time.
  server.sendTimeoutMilliseconds = 20;
  server.sessions.createSlots(capacity + 1);
  clients_.resize(static_cast<std::size_t>(capacity) + 1);
}

FuzzServer::~FuzzServer() {
  reset();
  server.sessions.destroySlots();
}

StreamSocket& FuzzServer::connect(int index, const char* name, const char* peerAddress) {
  FuzzConnection pair;
  ConnectionSlot* target = server.slots[index];
  delete target->socket;
  target->socket = pair.server;
  target->socket->setPeerAddress(peerAddress);
  target->connectTime = 1;
  if (name != nullptr) {
    formatSenderFields(target->senderFields, name, peerAddress);
    FUZZ_CHECK(server.sessions.claim(target, name));
    target->admitted = true;
  }
  clients_[static_cast<std::size_t>(index)] = std::move(pair.client);
  return *clients_[static_cast<std::size_t>(index)];
}

void FuzzServer::reset() {
  // New slots, rather than fields set back one by one: the old ones free all they own.
  server.sessions.destroySlots();
  server.sessions.createSlots(server.capacity + 1);
  for (auto& client : clients_) client.reset();
}

std::string withCarriageReturns(const std::string& text) {
  std::string converted;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) converted.push_back('\r');
    converted.push_back(text[i]);
  }
  return converted;
}

std::string wireImageOf(const Packet& packet) {
  std::string image(HEADER_SIZE + packet.length, '\0');
  packet.serialize(reinterpret_cast<unsigned char*>(image.data()));
  return image;
}

bool packetMatches(const Packet& packet, const std::uint8_t* image, std::size_t size) {
  if ((packet.payload == nullptr) != (packet.length == 0)) return false;
  std::string held = wireImageOf(packet);
  return held.size() == size && std::memcmp(held.data(), image, size) == 0;
}
