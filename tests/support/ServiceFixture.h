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
  // Connects and logs in: reads HELO and LEVL, sends the USER packet (name, or name 0xFF
  // password when a password is given), then reads up to and including CONN. Null when any
  // of that fails. The packets read are appended to *seen as "TYPE" or "TYPE:text".
  std::unique_ptr<WireClient> login(const std::string& name, const std::string& password = "",
                                    std::string* seen = nullptr);
  // The number of users in the registry (under the users mutex).
  int loggedInCount();
  // True once the user is in the registry.
  bool isLoggedIn(const std::string& name);

  TempDir dir;
  Server server;
  std::uint16_t port = 0;
};
