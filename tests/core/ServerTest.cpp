#include "core/Server.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/Network.h"
#include "platform/System.h"
#include "sessions/ConnectionSlot.h"
#include "TempDir.h"

namespace {

TEST(ServerTest, ComesUpWithItsDefaults) {
  TempDir dir;
  Server server(10);
  char buffer[PATH_TEXT_SIZE];
  EXPECT_EQ(server.listener.localPort, 5412);
  EXPECT_EQ(server.listener.backlog, 128);  // deep enough for a burst of clients
  EXPECT_EQ(server.securityLevel, FREEFORALL);
  EXPECT_FALSE(server.hostCheck);
  EXPECT_FALSE(server.running);
  EXPECT_EQ(server.capacity, 10);
  EXPECT_EQ(server.connectionCount, 0);
  EXPECT_EQ(server.mcastPort, 4658);
  EXPECT_EQ(server.mcastTtl, 64);
  EXPECT_STREQ(server.getMcastAddress(buffer, 16), "");
  EXPECT_STREQ(server.getPasswdFile(buffer, sizeof buffer), "passwd");
  EXPECT_STREQ(server.getHostsFile(buffer, sizeof buffer), "hosts");
  EXPECT_STREQ(server.getConnectionLogFile(buffer, sizeof buffer), "connectionlog");
  EXPECT_STREQ(server.getErrorLogFile(buffer, sizeof buffer), ".servererrors");
  EXPECT_EQ(server.slots, nullptr);
  EXPECT_EQ(server.users.root, nullptr);
  EXPECT_EQ(server.startTime, 0);
  EXPECT_EQ(server.processId, currentProcessId());
}

// hostAddress's bytes are the dotted parts of the address (network byte order).
std::string dottedHostAddress(const Server& server) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&server.hostAddress);
  char dotted[16];
  std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
  return dotted;
}

TEST(ServerTest, ListensOnThisMachinesAddressOrEveryAddressWhenTheNameDoesNotResolve) {
  TempDir dir;
  Server server(10);
  char own[16] = "";
  if (resolveOwnAddress(own)) {
    EXPECT_STREQ(server.listener.localAddress, own);
    EXPECT_EQ(dottedHostAddress(server), own);
  } else {
    EXPECT_STREQ(server.listener.localAddress, "");
    EXPECT_EQ(server.hostAddress, 0u);
  }
  // The configured address replaces it for the listener and the system id alike.
  server.setListenAddress("192.0.2.9");
  EXPECT_STREQ(server.listener.localAddress, "192.0.2.9");
  EXPECT_EQ(dottedHostAddress(server), "192.0.2.9");
}

TEST(ServerTest, SlotNamesCompareByteWiseAndCaseSensitively) {
  struct Named {
    static int compare(const char* slotName, const char* name) {
      ConnectionSlot slot;
      slot.userName = strdup(slotName);
      int order = Server::compareSlotName(&slot, name);
      EXPECT_EQ(Server::slotKey(&slot), slot.userName);
      return order;
    }
  };
  EXPECT_EQ(Named::compare("bob", "bob"), 0);
  EXPECT_LT(Named::compare("bob", "Bob"), 0);  // "Bob" sorts before "bob"
  EXPECT_GT(Named::compare("Bob", "bob"), 0);
  EXPECT_GT(Named::compare("bob", "\xE9"), 0);  // bytes above 127 sort last
}

}  // namespace
