// ServiceFixture: a real Server in the test process, listening on 127.0.0.1 on a free port, in
// a fresh temporary folder, with helpers for clients that connect and log in over TCP.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "core/Server.h"
#include "TempDir.h"
#include "WireClient.h"

// A port on 127.0.0.1 that nothing listens on right now.
std::uint16_t freeLoopbackPort();

// Polls condition every few milliseconds until it holds or the time-out passes.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(5));

class ServiceFixture : public ::testing::Test {
 protected:
  explicit ServiceFixture(int capacity = 10);
  ~ServiceFixture() override;

  // Starts the service (the diagnostics pass with the fixture's settings); false on failure.
  bool startService();
  // A TCP client connected to the service; nothing read yet.
  std::unique_ptr<WireClient> connectClient();
  // Connects and reads the greeting: HELO, then LEVL with the service's level. Null (with a
  // failure recorded) when anything else arrives.
  std::unique_ptr<WireClient> greeted();
  // Connects and logs in (WireClient::logIn). Null when any of that fails. The packets read
  // are appended to *seen, separated by spaces, as "TYPE:text" ("TYPE" alone for the user
  // list and the id, whose contents vary).
  std::unique_ptr<WireClient> login(const std::string& name, const std::string& password = "",
                                    std::string* seen = nullptr);
  // Logs in, then sends the user a message of its own and reads it back as its next packet:
  // the worker routes it only once the user's session loop runs, so by then the admission is
  // over (the announcements to the others sent too). Null when any step fails.
  std::unique_ptr<WireClient> admitted(const std::string& name);
  // The number of users in the registry (under the users mutex).
  int loggedInCount();
  // True once the user is in the registry.
  bool isLoggedIn(const std::string& name);

  TempDir dir;
  Server server;
  std::uint16_t port = 0;
};
