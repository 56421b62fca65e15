// The operator's L and T commands, driven through the real binary's console while real
// clients are logged in on its listener.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ConsoleServer.h"

namespace {

const std::string kTerminatePrompt = "Enter name of user to terminate> ";

// What T prints for a name that is not logged in.
std::string notTerminated(const std::string& name) {
  return "Internal Error: Could not terminate user " + name +
         " because user does not exist.\nFailed to terminate " + name + "!\n";
}

// A zone 3 h 30 min west of UTC: a time printed in UTC by mistake cannot pass for it.
const std::string kZone = "TZ=ABC+3:30";
constexpr std::time_t kZoneOffset = -(3 * 3600 + 30 * 60);

// The wall-clock time now in kZone, as the user list prints it.
std::string zoneClock() {
  std::time_t shifted = std::time(nullptr) + kZoneOffset;
  char text[32];
  std::strftime(text, sizeof text, "%I:%M%p", std::gmtime(&shifted));
  return text;
}

// One listed user: its name, address and connect time.
struct ListedUser {
  std::string name;
  std::string address;
  std::string time;
};

class UserCommandsTest : public ConsoleServer {
 protected:
  void SetUp() override {
    ConsoleServer::SetUp();
    configure("mcastaddress 239.1.2.3\n");
    environment = {kZone};
  }

  // Runs L and splits what it printed; every part of the frame around the lines is checked.
  static std::vector<ListedUser> list(ChildProcess& server) {
    std::vector<ListedUser> users;
    const std::string out = command(server, "L\n");
    const std::string frameEnd = "\n\n" + kRunningMenu + kPrompt;
    EXPECT_EQ(out.rfind("\n\n\n", 0), 0u) << out;
    EXPECT_GE(out.size(), 3 + frameEnd.size()) << out;
    if (out.size() < 3 + frameEnd.size()) return users;
    EXPECT_EQ(out.substr(out.size() - frameEnd.size()), frameEnd) << out;
    std::istringstream lines(out.substr(3, out.size() - 3 - frameEnd.size()));
    std::string stamp;
    std::getline(lines, stamp);
    EXPECT_TRUE(std::regex_match(
        stamp,
        std::regex("[A-Z][a-z]{2} [A-Z][a-z]{2} [1-9][0-9]? [0-2][0-9]:[0-5][0-9]:[0-6][0-9] ABC")))
        << stamp;
    const std::regex userLine("([^\t]*)\t([0-9.]*)\t((0[1-9]|1[0-2]):[0-5][0-9](AM|PM))");
    for (std::string line; std::getline(lines, line);) {
      std::smatch parts;
      EXPECT_TRUE(std::regex_match(line, parts, userLine)) << line;
      if (parts.size() > 3) users.push_back({parts[1], parts[2], parts[3]});
    }
    return users;
  }

  static std::vector<std::string> namesOf(const std::vector<ListedUser>& users) {
    std::vector<std::string> names;
    for (const auto& user : users) names.push_back(user.name);
    return names;
  }
};

TEST_F(UserCommandsTest, ListShowsUsersInByteOrderWithAddressAndLocalConnectTime) {
  auto server = launchRunning();
  std::set<std::string> clock{zoneClock()};
  auto carol = login("carol");
  auto alice = login("Alice");
  auto bob = login("bob");
  ASSERT_TRUE(carol && alice && bob);
  clock.insert(zoneClock());

  std::vector<ListedUser> users = list(*server);
  EXPECT_EQ(namesOf(users), (std::vector<std::string>{"Alice", "bob", "carol"}));
  for (const auto& user : users) {
    EXPECT_EQ(user.address, ownAddress) << user.name;
    EXPECT_TRUE(clock.count(user.time)) << user.name << " connected at " << user.time;
  }
  quit(*server);
}

TEST_F(UserCommandsTest, ANameWithAnEscapeSequenceNeverReachesTheList) {
  auto server = launchRunning();
  EXPECT_FALSE(login("ev\x1b[2Jil"));
  auto client = login("alice");
  ASSERT_TRUE(client);
  EXPECT_EQ(namesOf(list(*server)), std::vector<std::string>{"alice"});
  quit(*server);
}

TEST_F(UserCommandsTest, ListWhileStoppedPrintsOnlyTheHeader) {
  auto server = launch();
  const std::string out = command(*server, "L\n");
  const std::regex frame("\n\n\n[A-Z][a-z]{2} [A-Z][a-z]{2} [1-9][0-9]? [0-9:]{8} ABC\n\n\n");
  ASSERT_GT(out.size(), kStoppedMenu.size() + kPrompt.size());
  EXPECT_TRUE(
      std::regex_match(out.substr(0, out.size() - kStoppedMenu.size() - kPrompt.size()), frame))
      << out;
  EXPECT_EQ(out.substr(out.size() - kStoppedMenu.size() - kPrompt.size()), kStoppedMenu + kPrompt);
  quit(*server);
}

TEST_F(UserCommandsTest, TerminateSendsNoticeAndQuitThenEndsTheSession) {
  auto server = launchRunning();
  auto alice = login("alice");
  auto bob = login("bob");
  ASSERT_TRUE(alice && bob);

  EXPECT_EQ(command(*server, "T\nbob\n"),
            "\n" + kTerminatePrompt + "Terminated bob.\n" + kRunningMenu + kPrompt);

  Packet notice;
  do {
    ASSERT_TRUE(bob->readPacket(notice));
  } while (std::string(notice.type, 4) == "USER");
  EXPECT_EQ(std::string(notice.type, 4), "MESS");
  EXPECT_EQ(std::string(notice.senderName, sizeof notice.senderName), std::string("server\0\0", 8));
  EXPECT_EQ(textOf(notice), "Connection terminated by server.");
  EXPECT_EQ(bob->next(), "QUIT");
  EXPECT_TRUE(bob->closedByPeer());

  EXPECT_EQ(nextSkippingLogins(*alice), "GONE:bob");
  EXPECT_EQ(namesOf(list(*server)), std::vector<std::string>{"alice"});
  EXPECT_EQ(occurrences(dir.read("connectionlog"), "Disconnect: USER: bob\t"), 1);
  EXPECT_TRUE(alice->silentFor(std::chrono::milliseconds(100)));

  quit(*server);
}

TEST_F(UserCommandsTest, TerminateEndsTheSessionOfAClientThatNeverReads) {
  auto server = launchRunning();
  auto alice = login("alice");
  auto mute = login("mute");
  ASSERT_TRUE(alice && mute);

  // The client reads nothing and never answers the QUIT: the server must not wait for it.
  EXPECT_EQ(command(*server, "T\nmute\n"),
            "\n" + kTerminatePrompt + "Terminated mute.\n" + kRunningMenu + kPrompt);
  EXPECT_EQ(nextSkippingLogins(*alice), "GONE:mute");
  EXPECT_EQ(namesOf(list(*server)), std::vector<std::string>{"alice"});
  EXPECT_TRUE(waitUntil(
      [&] { return occurrences(dir.read("connectionlog"), "Disconnect: USER: mute\t") == 1; }));

  // What was waiting for it when it looks at last: the notice, the QUIT, and the end.
  EXPECT_EQ(nextSkippingLogins(*mute), "MESS:Connection terminated by server.");
  EXPECT_EQ(mute->next(), "QUIT");
  EXPECT_TRUE(mute->closedByPeer());

  // The name is free again at once.
  EXPECT_TRUE(login("mute"));
  quit(*server);
}

TEST_F(UserCommandsTest, TerminatingAnUnknownNameFailsOnceAndLeavesTheUsersFree) {
  auto server = launchRunning();
  EXPECT_EQ(command(*server, "T\nnobody\n"),
            "\n" + kTerminatePrompt + notTerminated("nobody") + kRunningMenu + kPrompt);
  expectOnlyLoggedError(
      "Internal Error: Could not terminate user nobody because user does not exist.");

  // Logins, logouts and the list all still need the users mutex.
  auto dave = login("dave");
  auto erin = login("erin");
  ASSERT_TRUE(dave && erin);
  ASSERT_TRUE(dave->sendText("QUIT", ""));
  EXPECT_EQ(nextSkippingLogins(*erin), "GONE:dave");
  EXPECT_EQ(namesOf(list(*server)), std::vector<std::string>{"erin"});
  quit(*server);
}

TEST_F(UserCommandsTest, TerminateWhileStoppedFindsNobody) {
  EXPECT_EQ(runScript("T\nalice\nQ\n"),
            kStoppedMenu + kPrompt + "\n" + kTerminatePrompt + notTerminated("alice") +
                kStoppedMenu + kPrompt + "\nExiting.\n");
}

TEST_F(UserCommandsTest, TerminatePromptRepeatsOnAnEmptyLine) {
  EXPECT_EQ(runScript("T\n\n\r\nghost\nQ\n"),
            kStoppedMenu + kPrompt + "\n" + kTerminatePrompt + kTerminatePrompt + kTerminatePrompt +
                notTerminated("ghost") + kStoppedMenu + kPrompt + "\nExiting.\n");
}

TEST_F(UserCommandsTest, TerminateMatchesTheNameWithItsLetterCase) {
  auto server = launchRunning();
  auto alice = login("Alice");
  ASSERT_TRUE(alice);
  EXPECT_EQ(command(*server, "T\nALICE\n"),
            "\n" + kTerminatePrompt + notTerminated("ALICE") + kRunningMenu + kPrompt);
  EXPECT_TRUE(alice->silentFor(std::chrono::milliseconds(200)));
  EXPECT_EQ(namesOf(list(*server)), std::vector<std::string>{"Alice"});

  EXPECT_EQ(command(*server, "T\nAlice\n"),
            "\n" + kTerminatePrompt + "Terminated Alice.\n" + kRunningMenu + kPrompt);
  EXPECT_EQ(nextSkippingLogins(*alice), "MESS:Connection terminated by server.");
  quit(*server);
}

TEST_F(UserCommandsTest, EndOfInputAtTheTerminatePromptStopsTheService) {
  auto server = launchRunning();
  auto alice = login("alice");
  ASSERT_TRUE(alice);
  server->write("T\n");
  ASSERT_TRUE(server->waitFor(kTerminatePrompt));
  server->closeInput();
  EXPECT_EQ(server->waitExit(), 0);
  EXPECT_NE(server->output().find("Server Stopped.\n"), std::string::npos);
  EXPECT_EQ(alice->next(), "MESS:The server is shutting down!");
}

}  // namespace
