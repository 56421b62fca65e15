// The login handshake against a running service, over real TCP clients: the decision table at
// every security level, the attempt limit, wrong replies, races for one name and the traces a
// failed handshake must not leave.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ServiceFixture.h"
#include "platform/PasswordHash.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

// "secret" hashed at yescrypt cost 1
const std::string kHashedSecret =
    "$y$j75$YyPZgoyszj9/AVK7FqA8o.$tutaNjUU6dXCtREt1KxQ31U7HWLwTi1bSomFOrgNXLC";

const std::string kPasswords =
    "alice:secret:Alice Liddell\n"
    "Alice:other:Alice Upper\n"
    "bob:hunter2:Bob\n"
    "everyone:open:Everyone\n"
    "server:open:Server\n"
    "hana:" + kHashedSecret + ":Hana\n";

const std::string kAdmission = "SYID USER MCST CONN";
const std::string kIncorrect = "LERR:Login incorrect.";
const std::string kForbiddenName = "LERR:Login name may not contain control or separator characters.";

// name 0xFF password, as a client sends it at LOGIN and SECURE.
std::string credentials(const std::string& name, const std::string& password) {
  return name + "\xFF" + password;
}

class LoginTest : public ServiceFixture {
 protected:
  // Starts the service at the level, with the test password file in place.
  void startAt(SecurityLevel level) {
    dir.write("passwd", kPasswords);
    server.securityLevel = level;
    ASSERT_TRUE(startService());
  }

  // Sends a USER packet with the payload; the packet that answers it ("" when the send or the
  // read fails).
  static std::string reply(WireClient& client, const std::string& userPayload) {
    return client.sendText("USER", userPayload) ? client.next() : "";
  }

  // Sends a USER packet with the payload; the types of the next four packets, which on
  // acceptance are kAdmission.
  static std::string admission(WireClient& client, const std::string& userPayload) {
    if (!client.sendText("USER", userPayload)) return "";
    std::string types;
    for (int i = 0; i < 4; ++i) {
      std::string packet = client.next();
      types += (i == 0 ? "" : " ") + packet.substr(0, 4);
    }
    return types;
  }

  // True once the server has sent QUIT and closed the connection.
  static bool quitAndClosed(WireClient& client) {
    return client.next() == "QUIT" && client.closedByPeer();
  }
};

// --- FREEFORALL

TEST_F(LoginTest, FreeNameIsLoggedInWithoutLoginError) {
  startAt(FREEFORALL);
  auto client = greeted();
  ASSERT_TRUE(client);
  EXPECT_EQ(admission(*client, "alice"), kAdmission);
  EXPECT_TRUE(isLoggedIn("alice"));
}

TEST_F(LoginTest, OpenLoginRefusesReservedAndTakenNamesWithoutLimit) {
  startAt(FREEFORALL);
  auto alice = login("alice");
  ASSERT_TRUE(alice);
  auto client = greeted();
  ASSERT_TRUE(client);
  const std::vector<std::string> refused = {"server", "everyone", "", "alice", "server",
                                            "server", "everyone", "", "alice", "server"};
  for (const std::string& name : refused) {
    EXPECT_EQ(reply(*client, name), "LERR:Login " + name + " already in use.") << name;
  }
  EXPECT_EQ(admission(*client, "carol"), kAdmission);
  EXPECT_TRUE(isLoggedIn("carol"));
  EXPECT_FALSE(isLoggedIn("server"));
  EXPECT_FALSE(isLoggedIn(""));
}

TEST_F(LoginTest, OpenLoginRefusesNamesThatWouldForgeListEntriesAndTheClientMayTryAgain) {
  startAt(FREEFORALL);
  auto bob = login("bob");
  ASSERT_TRUE(bob);
  auto client = greeted();
  ASSERT_TRUE(client);
  // name 0xFF password by habit, fake entries, a line break, a tab: none may become a user.
  for (const std::string& name :
       {credentials("alice", "secret"), "mallory\xFE" "eve"s, "a\xFC" "b"s, "x\xFD" "y"s,
        "two\nlines"s, "tab\tbed"s, "del\x7F"s}) {
    EXPECT_EQ(reply(*client, name), kForbiddenName) << name;
  }
  EXPECT_EQ(reply(*client, std::string(128, 'n')), "LERR:Login name must be 127 characters or less.");
  EXPECT_EQ(admission(*client, std::string(127, 'n')), kAdmission);
  EXPECT_EQ(loggedInCount(), 2);
  // bob heard of the one user that was admitted, and of nobody else.
  Packet packet;
  ASSERT_TRUE(bob->skipTo("USER", packet));
  EXPECT_EQ(textOf(packet).substr(0, 128), std::string(127, 'n') + "\xFF");
  EXPECT_TRUE(bob->silentFor(200ms));
  // The password never reaches the log, and the refusals are not shown on the console.
  const std::string errors = dir.read(".servererrors");
  EXPECT_EQ(errors.find("secret"), std::string::npos) << errors;
  EXPECT_NE(errors.find("Connection Error: Login refused (name not allowed) for \"alice\" from "
                        "127.0.0.1."),
            std::string::npos)
      << errors;
  EXPECT_NE(errors.find("for \"two?lines\""), std::string::npos) << errors;
}

TEST_F(LoginTest, AnsweringTheLevelWithAMessageEndsWithoutLoginError) {
  startAt(FREEFORALL);
  auto client = greeted();
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->sendText("MESS", "alice"));
  EXPECT_EQ(client->next(), "MESS:Error connecting to server.");
  EXPECT_TRUE(quitAndClosed(*client));
  EXPECT_EQ(loggedInCount(), 0);
}

TEST_F(LoginTest, UserPacketWithoutPayloadIsAWrongReply) {
  startAt(FREEFORALL);
  auto client = greeted();
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->send("USER", ""));
  EXPECT_EQ(client->next(), "MESS:Error connecting to server.");
  EXPECT_TRUE(quitAndClosed(*client));
}

TEST_F(LoginTest, OpenLoginAnsweringARefusalWithAMessageEndsAtOnce) {
  startAt(FREEFORALL);
  auto client = greeted();
  ASSERT_TRUE(client);
  EXPECT_EQ(reply(*client, "server"), "LERR:Login server already in use.");
  ASSERT_TRUE(client->sendText("MESS", "hello"));
  EXPECT_EQ(client->next(), "MESS:Error connecting to server.");
  EXPECT_TRUE(quitAndClosed(*client));
}

TEST_F(LoginTest, NamesDifferingInCaseAreDifferentUsersInOpenLogin) {
  startAt(FREEFORALL);
  auto lower = login("alice");
  ASSERT_TRUE(lower);
  auto upper = login("Alice");
  ASSERT_TRUE(upper);
  EXPECT_TRUE(waitUntil([&] { return loggedInCount() == 2; }));
}

TEST_F(LoginTest, ALoginThatRunsOutOfTimeIsToldSoAndLogged) {
  server.loginTimeout = 1;
  startAt(FREEFORALL);
  auto silent = greeted();  // never sends a USER packet
  ASSERT_TRUE(silent);
  auto refused = greeted();
  ASSERT_TRUE(refused);
  EXPECT_EQ(reply(*refused, "server"), "LERR:Login server already in use.");
  for (WireClient* client : {silent.get(), refused.get()}) {
    EXPECT_EQ(client->next(3s), "MESS:Login timed out.");
    EXPECT_TRUE(quitAndClosed(*client));
  }
  const std::string errors = dir.read(".servererrors");
  EXPECT_NE(errors.find("ERROR: Connection Error: Login timed out from 127.0.0.1.\tAT: "),
            std::string::npos)
      << errors;
  EXPECT_NE(errors.find("ERROR: Connection Error: Login timed out for \"server\" from 127.0.0.1."),
            std::string::npos)
      << errors;
}

TEST_F(LoginTest, FailedHandshakesLeaveNoConnectionLogLineAndGiveTheirCountBack) {
  startAt(FREEFORALL);
  auto wrong = greeted();
  ASSERT_TRUE(wrong);
  ASSERT_TRUE(wrong->sendText("ERRO", "oops"));
  EXPECT_EQ(wrong->next(), "MESS:Error connecting to server.");
  EXPECT_TRUE(quitAndClosed(*wrong));
  auto vanished = greeted();
  ASSERT_TRUE(vanished);
  EXPECT_EQ(reply(*vanished, "server"), "LERR:Login server already in use.");
  vanished->close();
  EXPECT_TRUE(waitUntil([&] { return server.connectionCount == 0; }));
  EXPECT_EQ(dir.read("connectionlog"), "");
  EXPECT_EQ(loggedInCount(), 0);
}

// --- LOGIN, and SECURE, which must behave the same

class PasswordLoginTest : public LoginTest, public ::testing::WithParamInterface<SecurityLevel> {
 protected:
  void SetUp() override { startAt(GetParam()); }
};

TEST_P(PasswordLoginTest, CorrectPasswordIsAdmitted) {
  auto client = greeted();
  ASSERT_TRUE(client);
  EXPECT_EQ(admission(*client, credentials("alice", "secret")), kAdmission);
  EXPECT_TRUE(isLoggedIn("alice"));
}

TEST_P(PasswordLoginTest, TwoWrongPasswordsThenTheRightOneIsAdmitted) {
  auto client = greeted();
  ASSERT_TRUE(client);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(reply(*client, credentials("alice", "wrong")), kIncorrect);
  }
  EXPECT_EQ(admission(*client, credentials("alice", "secret")), kAdmission);
}

TEST_P(PasswordLoginTest, FourthUserPacketAfterThreeRefusalsIsNotChecked) {
  auto client = greeted();
  ASSERT_TRUE(client);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(reply(*client, credentials("alice", "wrong")), kIncorrect);
  }
  EXPECT_EQ(reply(*client, credentials("alice", "secret")), "MESS:Too many failed login attempts.");
  EXPECT_TRUE(quitAndClosed(*client));
  EXPECT_FALSE(isLoggedIn("alice"));
}

TEST_P(PasswordLoginTest, HashedPasswordIsCheckedAndAWrongOneRefused) {
  auto client = greeted();
  ASSERT_TRUE(client);
  EXPECT_EQ(reply(*client, credentials("hana", "Secret")), kIncorrect);
  // The stored hash itself is no password.
  EXPECT_EQ(reply(*client, credentials("hana", kHashedSecret)), kIncorrect);
  if (!PasswordHash::available()) {
    // A system that cannot check the hash admits nobody by it.
    EXPECT_EQ(reply(*client, credentials("hana", "secret")), kIncorrect);
    return;
  }
  EXPECT_EQ(admission(*client, credentials("hana", "secret")), kAdmission);
  EXPECT_TRUE(isLoggedIn("hana"));
  // Hashes and clear records side by side.
  EXPECT_TRUE(login("alice", "secret"));
}

TEST_P(PasswordLoginTest, ASlowHashHoldsUpNoOtherLogin) {
  if (!PasswordHash::available()) GTEST_SKIP() << "no password hashes on this system";
  // "secret" at yescrypt cost 8: a quarter of a second of work for each check.
  dir.write("passwd", kPasswords + "slow:$y$jCT$CHbiGwfT4wiOuD1E24tZy.$BH5zwaCIaJZ3fIKF86qyLWve9"
                                   "oAcCanFuhm/ClupVA.:Slow\n");
  auto slow = greeted();
  ASSERT_TRUE(slow);
  ASSERT_TRUE(slow->sendText("USER", credentials("slow", "secret")));
  // Logged in, and told so, while the slow check still runs: neither the password file nor any
  // other lock is held across a hash.
  auto quick = login("alice", "secret");
  ASSERT_TRUE(quick);
  EXPECT_FALSE(isLoggedIn("slow"));
  EXPECT_EQ(slow->next().substr(0, 4), "SYID");
  EXPECT_TRUE(waitUntil([&] { return isLoggedIn("slow"); }));
}

TEST_P(PasswordLoginTest, NameOnLineIsRefusedBeforeItsPasswordIsLookedAt) {
  auto alice = login("alice", "secret");
  ASSERT_TRUE(alice);
  auto client = greeted();
  ASSERT_TRUE(client);
  EXPECT_EQ(reply(*client, credentials("alice", "wrong")),
            "LERR:User alice is already logged in!.");
  EXPECT_EQ(reply(*client, credentials("alice", "secret")),
            "LERR:User alice is already logged in!.");
}

TEST_P(PasswordLoginTest, ReservedNamesAreRefusedAsLoggedInEvenWithTheirPassword) {
  auto client = greeted();
  ASSERT_TRUE(client);
  EXPECT_EQ(reply(*client, credentials("everyone", "open")),
            "LERR:User everyone is already logged in!.");
  EXPECT_EQ(reply(*client, credentials("server", "anything")),
            "LERR:User server is already logged in!.");
  EXPECT_EQ(reply(*client, credentials("", "secret")), kIncorrect);
  EXPECT_EQ(loggedInCount(), 0);
}

TEST_P(PasswordLoginTest, PayloadWithoutSeparatorIsAllNameWithAnEmptyPassword) {
  auto bob = login("bob", "hunter2");
  ASSERT_TRUE(bob);
  auto client = greeted();
  ASSERT_TRUE(client);
  EXPECT_EQ(reply(*client, "alice"), kIncorrect);
  EXPECT_EQ(reply(*client, "bob"), "LERR:User bob is already logged in!.");
  EXPECT_EQ(admission(*client, credentials("alice", "secret")), kAdmission);
}

TEST_P(PasswordLoginTest, AnsweringTheLevelWithAMessageEndsWithoutLoginError) {
  auto client = greeted();
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->sendText("MESS", credentials("alice", "secret")));
  EXPECT_EQ(client->next(), "MESS:Error connecting to server.");
  EXPECT_TRUE(quitAndClosed(*client));
}

TEST_P(PasswordLoginTest, AnsweringARefusalWithAMessageGivesUp) {
  auto client = greeted();
  ASSERT_TRUE(client);
  EXPECT_EQ(reply(*client, credentials("alice", "wrong")), kIncorrect);
  ASSERT_TRUE(client->sendText("MESS", "hello"));
  EXPECT_EQ(client->next(), "MESS:Error connecting to server.");
  EXPECT_EQ(client->next(), "MESS:Too many failed login attempts.");
  EXPECT_TRUE(quitAndClosed(*client));
}

TEST_P(PasswordLoginTest, NamesDifferingInCaseHaveTheirOwnPasswords) {
  auto lower = login("alice", "secret");
  ASSERT_TRUE(lower);
  auto client = greeted();
  ASSERT_TRUE(client);
  EXPECT_EQ(reply(*client, credentials("ALICE", "secret")), kIncorrect);
  EXPECT_EQ(reply(*client, credentials("Alice", "secret")), kIncorrect);
  EXPECT_EQ(admission(*client, credentials("Alice", "other")), kAdmission);
  EXPECT_TRUE(isLoggedIn("Alice"));
  EXPECT_TRUE(isLoggedIn("alice"));
}

TEST_P(PasswordLoginTest, MissingPasswordFileRefusesEveryAttempt) {
  ASSERT_TRUE(std::filesystem::remove(dir.path() / "passwd"));
  auto client = greeted();
  ASSERT_TRUE(client);
  testing::internal::CaptureStdout();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(reply(*client, credentials("alice", "secret")), kIncorrect);
  }
  std::string printed = testing::internal::GetCapturedStdout();
  const std::string inaccessible = "Internal Error: Passwd file passwd inaccessible.";
  EXPECT_NE(printed.find(inaccessible + "\n"), std::string::npos) << printed;
  EXPECT_NE(dir.read(".servererrors").find("ERROR: " + inaccessible + "\tAT: "),
            std::string::npos);
  EXPECT_EQ(loggedInCount(), 0);
}

TEST_P(PasswordLoginTest, EveryRefusalIsLoggedWithNameAndAddressButNeverThePassword) {
  auto client = greeted();
  ASSERT_TRUE(client);
  testing::internal::CaptureStdout();
  EXPECT_EQ(reply(*client, credentials("alice", "guess1")), kIncorrect);
  EXPECT_EQ(reply(*client, credentials("nobody\x1b[2J", "guess2")), kForbiddenName);
  EXPECT_EQ(reply(*client, credentials("server", "guess3")), "LERR:User server is already logged in!.");
  EXPECT_EQ(reply(*client, credentials("alice", "secret")), "MESS:Too many failed login attempts.");
  EXPECT_TRUE(quitAndClosed(*client));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  const std::string errors = dir.read(".servererrors");
  const std::string prefix = "ERROR: Connection Error: ";
  for (const char* line :
       {"Login refused (unknown user or wrong password) for \"alice\" from 127.0.0.1.",
        "Login refused (name not allowed) for \"nobody?[2J\" from 127.0.0.1.",
        "Login refused (name in use or reserved) for \"server\" from 127.0.0.1.",
        "Too many failed login attempts from 127.0.0.1."}) {
    EXPECT_NE(errors.find(prefix + line + "\tAT: "), std::string::npos) << line << "\n" << errors;
  }
  EXPECT_EQ(errors.find("guess"), std::string::npos) << errors;
}

TEST_P(PasswordLoginTest, GivingUpLeavesNoConnectionLogLineAndGivesTheCountBack) {
  auto client = greeted();
  ASSERT_TRUE(client);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(reply(*client, credentials("bob", "wrong")), kIncorrect);
  }
  EXPECT_EQ(reply(*client, credentials("bob", "wrong")), "MESS:Too many failed login attempts.");
  EXPECT_TRUE(quitAndClosed(*client));
  EXPECT_TRUE(waitUntil([&] { return server.connectionCount == 0; }));
  EXPECT_EQ(dir.read("connectionlog"), "");
}

INSTANTIATE_TEST_SUITE_P(Levels, PasswordLoginTest, ::testing::Values(LOGIN, SECURE),
                         [](const ::testing::TestParamInfo<SecurityLevel>& param) {
                           return std::string(param.param == LOGIN ? "Login" : "Secure");
                         });

// --- two clients after one free name

class LoginRaceTest : public LoginTest, public ::testing::WithParamInterface<SecurityLevel> {};

TEST_P(LoginRaceTest, ExactlyOneOfTwoClientsGetsAFreeName) {
  std::string records;
  for (int round = 0; round < 8; ++round) {
    records += "racer" + std::to_string(round) + ":pw:Racer\n";
  }
  startAt(GetParam());
  dir.write("passwd", records);

  for (int round = 0; round < 8; ++round) {
    const std::string name = "racer" + std::to_string(round);
    const std::string payload = GetParam() == FREEFORALL ? name : credentials(name, "pw");
    auto first = greeted();
    auto second = greeted();
    ASSERT_TRUE(first && second);
    std::thread other([&] { second->sendText("USER", payload); });
    first->sendText("USER", payload);
    other.join();

    const std::string refusal = GetParam() == FREEFORALL
                                    ? "LERR:Login " + name + " already in use."
                                    : "LERR:User " + name + " is already logged in!.";
    std::string firstReply = first->next();
    std::string secondReply = second->next();
    int accepted = (firstReply.rfind("SYID", 0) == 0) + (secondReply.rfind("SYID", 0) == 0);
    int refused = (firstReply == refusal) + (secondReply == refusal);
    EXPECT_EQ(accepted, 1) << firstReply << " / " << secondReply;
    EXPECT_EQ(refused, 1) << firstReply << " / " << secondReply;

    first->close();
    second->close();
    ASSERT_TRUE(waitUntil([&] { return server.connectionCount == 0 && loggedInCount() == 0; }));
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, LoginRaceTest, ::testing::Values(FREEFORALL, LOGIN),
                         [](const ::testing::TestParamInfo<SecurityLevel>& param) {
                           return std::string(param.param == LOGIN ? "Login" : "FreeForAll");
                         });

}  // namespace
