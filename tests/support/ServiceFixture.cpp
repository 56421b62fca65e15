#include "ServiceFixture.h"

#include <thread>

#include "core/MutexName.h"
#include "core/NamedLock.h"
#include "platform/ServerSocket.h"
#include "sessions/ConnectionSlot.h"

std::uint16_t freeLoopbackPort() {
  ServerSocket probe(0, "127.0.0.1", 1);
  if (!probe.open()) return 0;
  return probe.boundPort();
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
  server.listener.setLocalAddress("127.0.0.1");
  port = freeLoopbackPort();
  server.listener.localPort = port;
}

ServiceFixture::~ServiceFixture() {
  if (server.running) server.stop();
}

bool ServiceFixture::startService() { return server.start() != 0; }

std::unique_ptr<WireClient> ServiceFixture::connectClient() {
  auto client = std::make_unique<WireClient>(port);
  if (!client->connected()) return nullptr;
  return client;
}

std::unique_ptr<WireClient> ServiceFixture::login(const std::string& name,
                                                  const std::string& password,
                                                  std::string* seen) {
  auto client = connectClient();
  if (!client) return nullptr;
  auto note = [seen](const std::string& packet) {
    if (seen != nullptr) *seen += (seen->empty() ? "" : " ") + packet;
  };
  for (;;) {
    std::string packet = client->next();
    note(packet);
    if (packet.rfind("LEVL", 0) == 0) break;
    if (packet.empty() || packet.rfind("QUIT", 0) == 0) return nullptr;
  }
  std::string payload = name;
  if (!password.empty() || server.securityLevel != FREEFORALL) payload += "\xFF" + password;
  if (!client->sendText("USER", payload)) return nullptr;
  for (;;) {
    std::string packet = client->next();
    note(packet.rfind("USER", 0) == 0 || packet.rfind("SYID", 0) == 0 ? packet.substr(0, 4)
                                                                       : packet);
    if (packet == "CONN") return client;
    if (packet.empty() || packet.rfind("LERR", 0) == 0 || packet.rfind("QUIT", 0) == 0) {
      return nullptr;
    }
  }
}

namespace {
int countNodes(const RegistryNode* node) {
  return node == nullptr ? 0 : 1 + countNodes(node->left) + countNodes(node->right);
}
}  // namespace

int ServiceFixture::loggedInCount() {
  NamedLock usersLock(MutexName::users(server.processId).text());
  return countNodes(server.users.root);
}

bool ServiceFixture::isLoggedIn(const std::string& name) {
  NamedLock usersLock(MutexName::users(server.processId).text());
  RegistryNode* node = server.users.find(name.c_str());
  return node != nullptr && node->value != nullptr;
}
