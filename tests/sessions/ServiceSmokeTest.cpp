#include <gtest/gtest.h>

#include "ServiceFixture.h"

namespace {

class ServiceSmokeTest : public ServiceFixture {};

TEST_F(ServiceSmokeTest, TwoUsersLogInAndExchangeAPrivateMessage) {
  ASSERT_TRUE(startService());
  std::string seen;
  auto alice = login("alice", "", &seen);
  ASSERT_TRUE(alice);
  EXPECT_EQ(seen, "HELO LEVL:1 SYID USER MCST:239.1.2.3\xFF" "4658\xFF" "64 CONN");
  auto bob = login("bob");
  ASSERT_TRUE(bob);
  EXPECT_EQ(alice->next().substr(0, 8), "USER:bob");
  ASSERT_TRUE(alice->send("PRIV", "bob\xFC" "hello\xFD", "alice"));
  EXPECT_EQ(bob->next(), "PRIV:bob\xFC" "hello");
  EXPECT_TRUE(waitUntil([&] { return loggedInCount() == 2; }));
  ASSERT_TRUE(server.stop());
  EXPECT_EQ(alice->next(), "MESS:The server is shutting down!");
  EXPECT_EQ(alice->next(), "QUIT");
  EXPECT_TRUE(alice->closedByPeer());
  EXPECT_EQ(bob->next(), "MESS:The server is shutting down!");
  EXPECT_EQ(bob->next(), "QUIT");
  EXPECT_EQ(loggedInCount(), 0);
}

}  // namespace
