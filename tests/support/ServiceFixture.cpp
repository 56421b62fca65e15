#include "ServiceFixture.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>
#include <thread>

#include "platform/ServerSocket.h"
#include "sessions/ConnectionSlot.h"

// The port is probed and let go; the server under test binds it later. A port the system chose
// (port 0) comes from the range it draws the local ports of outgoing connections from (32768
// and up on Linux, 49152 and up on Windows), so any connection made on the machine in between,
// by this test or another, could take it and the server's bind would fail. So the port is drawn
// at random from below that range.
std::uint16_t freeLoopbackPort() {
  static std::mutex lock;
  std::lock_guard<std::mutex> hold(lock);
  static std::mt19937 random(static_cast<std::uint32_t>(
      std::random_device{}() ^
      std::chrono::steady_clock::now().time_since_epoch().count()));
  std::uniform_int_distribution<int> below(20000, 32767);
  for (int tries = 0; tries < 500; ++tries) {
    const auto candidate = static_cast<std::uint16_t>(below(random));
    ServerSocket probe(candidate, "127.0.0.1", 1);
    if (probe.open()) return candidate;
  }
  ServerSocket probe(0, "127.0.0.1", 1);
  return probe.open() ? probe.boundPort() : 0;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

ServiceFixture::ServiceFixture(int capacity) : server(capacity) {
  server.setMcastAddress("239.1.2.3");
  server.setListenAddress("127.0.0.1");
  port = freeLoopbackPort();
  server.listener.localPort = port;
}

ServiceFixture::~ServiceFixture() {
  if (server.running) server.stop();
}

bool ServiceFixture::startService() {
  // The free port was only free when it was picked: another test running at the same time may
  // have taken it since (as a listener, or as a connection's own end). Pick again then.
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (server.start()) return true;
    // Only a listener that could not be opened is worth another port.
    if (server.listener.localPort != port || !server.runDiagnostics()) return false;
    port = freeLoopbackPort();
    server.listener.localPort = port;
  }
  return false;
}

std::unique_ptr<WireClient> ServiceFixture::connectClient() {
  auto client = std::make_unique<WireClient>(port);
  if (!client->connected()) return nullptr;
  return client;
}

std::unique_ptr<WireClient> ServiceFixture::greeted() {
  auto client = connectClient();
  if (!client) {
    ADD_FAILURE() << "cannot connect";
    return nullptr;
  }
  const std::string hello = client->next();
  const std::string level = client->next();
  const std::string expected =
      "LEVL:" + std::to_string(static_cast<int>(server.securityLevel.load()));
  if (hello != "HELO" || level != expected) {
    ADD_FAILURE() << "greeted with " << hello << ", " << level;
    return nullptr;
  }
  return client;
}

std::unique_ptr<WireClient> ServiceFixture::login(const std::string& name,
                                                  const std::string& password,
                                                  std::string* seen) {
  auto client = connectClient();
  if (!client) return nullptr;
  auto note = [seen](const std::string& packet) {
    if (seen == nullptr) return;
    const bool typeOnly = packet.rfind("USER", 0) == 0 || packet.rfind("SYID", 0) == 0;
    *seen += (seen->empty() ? "" : " ") + (typeOnly ? packet.substr(0, 4) : packet);
  };
  if (!client->logIn(name, password, note)) return nullptr;
  return client;
}

std::unique_ptr<WireClient> ServiceFixture::admitted(const std::string& name) {
  auto client = login(name);
  if (!client) return nullptr;
  const std::string echo = name + "\xFC" "admitted";
  if (!client->sendText("PRIV", echo, name) || client->next() != "PRIV:" + echo) return nullptr;
  return client;
}

int ServiceFixture::loggedInCount() {
  std::vector<Recipient> everyone;
  server.sessions.online(&everyone);
  return static_cast<int>(everyone.size());
}

bool ServiceFixture::isLoggedIn(const std::string& name) {
  Recipient found{};
  return server.sessions.find(name.c_str(), &found);
}
