// SlotFixture: a stopped Server in a fresh temporary folder with a slot array of its own, whose
// slots can be given loopback connections and user names, as the workers would have left them.
// The test holds the client ends.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "core/Server.h"
#include "sessions/ConnectionSlot.h"
#include "TempDir.h"
#include "WireClient.h"

class SlotFixture : public ::testing::Test {
 protected:
  explicit SlotFixture(int capacity = 4) : server(capacity) {
    server.sessions.createSlots(capacity + 1);
  }

  ~SlotFixture() override { server.sessions.destroySlots(); }

  // Gives slot index a connection (and, with a name, logs it in); returns the client's end.
  WireClient& connect(int index, const char* name = nullptr, std::time_t connectTime = 0) {
    LoopbackPair pair;
    EXPECT_NE(pair.server, nullptr);
    ConnectionSlot* slot = server.slots[index];
    slot->socket = pair.server;
    slot->connectTime = connectTime != 0 ? connectTime : std::time(nullptr);
    if (name != nullptr) {
      EXPECT_TRUE(server.sessions.claim(slot, name));
      std::vector<ListedUser> listed;
      std::vector<Recipient> told;
      server.sessions.admit(slot, &listed, &told);
    }
    clients.push_back(std::make_unique<WireClient>(std::move(pair.client)));
    return *clients.back();
  }

  ConnectionSlot* slot(int index) { return server.slots[index]; }

  TempDir dir;
  Server server;
  std::vector<std::unique_ptr<WireClient>> clients;
};
