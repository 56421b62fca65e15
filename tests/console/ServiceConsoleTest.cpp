// The service driven end to end through the real binary's console: diagnostics, start, stop,
// quit and the end of input, with real clients on the listener while it runs.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ChildProcess.h"
#include "ServiceFixture.h"
#include "TempDir.h"
#include "WireClient.h"
#include "platform/Network.h"
#include "platform/StreamSocket.h"

namespace {

const std::string kStoppedMenu =
    "\n\n\t\tServer Commands:\n\n\t\tM Print Menu\n\t\tS Start Services\n\t\tD Diagnostic\n"
    "\t\tC Configure\n\t\tU Add User\n\t\tH Add Host\n\t\tQ Quit\n\n";
const std::string kRunningMenu =
    "\n\n\t\tServer Commands:\n\n\t\tM Print Menu\n\t\tP Stop Services\n\t\tL List Users\n"
    "\t\tT Terminate User\n\t\tU Add User\n\t\tH Add Host\n\t\tQ Quit\n\n";
const std::string kPrompt = "Enter command> ";
const std::string kShutdownNotice = "MESS:The server is shutting down!";

int occurrences(const std::string& text, const std::string& part) {
  int found = 0;
  for (std::size_t at = text.find(part); at != std::string::npos;
       at = text.find(part, at + part.size())) {
    ++found;
  }
  return found;
}

class ServiceConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port = freeLoopbackPort();
    ASSERT_NE(port, 0);
    // The binary listens on the address its host name resolves to; clients go there, but
    // only when that stays on this machine.
    char own[16] = "";
    if (resolveOwnAddress(own)) {
      address = own;
      clientsAllowed = (networkToHost32(convertAddress(own)) >> 24) == 127;
    }
  }

  // A .serverrc with the free port and whatever else the test needs.
  void configure(const std::string& lines) {
    dir.write(".serverrc", "port " + std::to_string(port) + "\n" + lines);
  }

  std::unique_ptr<ChildProcess> launch() {
    auto child = std::make_unique<ChildProcess>(MSGSERVER_BINARY, std::vector<std::string>{},
                                                dir.path().string());
    EXPECT_TRUE(child->started());
    EXPECT_TRUE(child->waitFor(kPrompt));
    return child;
  }

  // Types one console line and returns what the binary printed up to its next prompt.
  std::string command(ChildProcess& server, const std::string& line) {
    const std::size_t mark = server.output().size();
    const int prompts = occurrences(server.output(), kPrompt);
    server.write(line);
    EXPECT_TRUE(server.waitForCount(kPrompt, prompts + 1)) << server.outputSince(mark);
    return server.outputSince(mark);
  }

  // Logs a user in through the binary's listener; null when any step fails.
  std::unique_ptr<WireClient> login(const std::string& name) {
    auto socket = std::make_unique<StreamSocket>(port, address.c_str());
    if (!socket->connect()) return nullptr;
    socket->setReceiveTimeout(5);
    auto client = std::make_unique<WireClient>(std::move(socket));
    for (std::string packet = client->next(); packet.rfind("LEVL", 0) != 0;
         packet = client->next()) {
      if (packet.empty()) return nullptr;
    }
    if (!client->sendText("USER", name)) return nullptr;
    for (std::string packet = client->next(); packet != "CONN"; packet = client->next()) {
      if (packet.empty() || packet.rfind("LERR", 0) == 0 || packet.rfind("QUIT", 0) == 0) {
        return nullptr;
      }
    }
    return client;
  }

  // The next packet other than a USER notice: a user who logs in right after another may
  // hear of it once more after its own login.
  static std::string nextAfterUserNotices(WireClient& client) {
    std::string packet = client.next();
    while (packet.rfind("USER:", 0) == 0) packet = client.next();
    return packet;
  }

  // What every logged-in user must see when the service stops: the notice, its QUIT, the end.
  static void expectShutdownSeenBy(WireClient& client) {
    EXPECT_EQ(nextAfterUserNotices(client), kShutdownNotice);
    EXPECT_EQ(client.next(), "QUIT");
    EXPECT_TRUE(client.closedByPeer());
  }

  TempDir dir;
  std::uint16_t port = 0;
  std::string address;
  bool clientsAllowed = false;
};

TEST_F(ServiceConsoleTest, DiagnosticsPassWithAGoodConfiguration) {
  configure("mcastaddress 239.1.2.3\n");
  auto server = launch();
  EXPECT_EQ(command(*server, "D\n"),
            "\nDiagnostics Complete: No errors found.\n" + kStoppedMenu + kPrompt);
  server->write("Q\n");
  EXPECT_EQ(server->waitExit(), 0);
  EXPECT_EQ(server->output().find("Errors encountered"), std::string::npos);
}

TEST_F(ServiceConsoleTest, DiagnosticsReportEveryProblemOnceInOrderAndLogIt) {
  configure(
      "connectionlog no-such-folder/connections\n"
      "security LOGIN\npasswd missing-passwd\n"
      "hostcheck TRUE\nhosts missing-hosts\n"
      "mcastaddress 240.0.0.1\nmcastport 99\ncapacity 1001\n"
      "port 80\n");
  const std::string report =
      "Errors encountered:"
      "\n\tError accessing connection log file: no-such-folder/connections"
      "\n\tError accessing passwd file: missing-passwd"
      "\n\tError accessing hosts file: missing-hosts"
      "\n\tInvalid server port: 80 (1024 - 65535)"
      "\n\tMulticast Group address 240.0.0.1 is invalid! (Valid range: 224.0.0.0 - "
      "239.255.255.255)"
      "\n\tInvalid Multicast port: 99 (1024 - 65535)"
      "\n\tInvalid user limit: 1001 (0 - 1000)";
  auto server = launch();
  EXPECT_EQ(command(*server, "d\n"),
            "\n" + report + "\nDiagnostics Complete: Errors found.\n" + kStoppedMenu + kPrompt);
  server->write("Q\n");
  EXPECT_EQ(server->waitExit(), 0);
  EXPECT_EQ(occurrences(server->output(), "Errors encountered:"), 1);

  const std::string log = dir.read(".servererrors");
  EXPECT_EQ(log.rfind("ERROR: " + report + "\tAT: ", 0), 0u) << log;
  EXPECT_EQ(occurrences(log, "ERROR: "), 1) << log;
}

TEST_F(ServiceConsoleTest, StartWithoutMulticastAddressIsRefused) {
  configure("");
  auto server = launch();
  EXPECT_EQ(command(*server, "S\n"),
            "\nErrors encountered:\n\tNo Multicast Group address has been specified!\n"
            "Server not started.\n" +
                kStoppedMenu + kPrompt);
  EXPECT_NE(dir.read(".servererrors").find("No Multicast Group address has been specified!"),
            std::string::npos);
  // Nothing was opened: the port is still free for anyone.
  if (clientsAllowed) {
    StreamSocket probe(port, address.c_str());
    EXPECT_FALSE(probe.connect());
  }
  server->write("Q\n");
  EXPECT_EQ(server->waitExit(), 0);
}

TEST_F(ServiceConsoleTest, StartServeRefuseSecondStartStopAndRefuseSecondStop) {
  configure("mcastaddress 239.1.2.3\n");
  auto server = launch();
  EXPECT_EQ(command(*server, "S\n"), "\nServer started.\n" + kRunningMenu + kPrompt);

  std::unique_ptr<WireClient> alice;
  std::unique_ptr<WireClient> bob;
  if (clientsAllowed) {
    alice = login("alice");
    ASSERT_TRUE(alice);
    bob = login("bob");
    ASSERT_TRUE(bob);
    EXPECT_EQ(alice->next().substr(0, 8), "USER:bob");
    ASSERT_TRUE(alice->sendText("PRIV", "bob\xFC" "hello", "alice"));
    EXPECT_EQ(nextAfterUserNotices(*bob), "PRIV:bob\xFC" "hello");
    ASSERT_TRUE(bob->sendText("PRIV", "alice\xFC" "hi", "bob"));
    EXPECT_EQ(nextAfterUserNotices(*alice), "PRIV:alice\xFC" "hi");
  }

  // The running service is left alone by a second start.
  EXPECT_EQ(command(*server, "S\n"),
            "\nInternal Error: Could not start server because it is already running.\n"
            "Server not started.\n" +
                kRunningMenu + kPrompt);
  if (clientsAllowed) {
    ASSERT_TRUE(alice->sendText("PRIV", "bob\xFC" "still here", "alice"));
    EXPECT_EQ(nextAfterUserNotices(*bob), "PRIV:bob\xFC" "still here");
  }

  EXPECT_EQ(command(*server, "P\n"), "\nServer Stopped.\n" + kStoppedMenu + kPrompt);
  if (clientsAllowed) {
    expectShutdownSeenBy(*alice);
    expectShutdownSeenBy(*bob);
  }

  // Stop's own report is all there is: no "Server Stopped." after it.
  EXPECT_EQ(command(*server, "P\n"),
            "\nInternal Error: Could not stop server because it is not running.\n" +
                kStoppedMenu + kPrompt);

  // The stopped service starts again on the same port.
  EXPECT_EQ(command(*server, "S\n"), "\nServer started.\n" + kRunningMenu + kPrompt);
  if (clientsAllowed) {
    auto carol = login("carol");
    EXPECT_TRUE(carol);
  }
  server->write("Q\n");
  EXPECT_EQ(server->waitExit(), 0);

  const std::string log = dir.read(".servererrors");
  EXPECT_EQ(occurrences(log, "ERROR: Internal Error: Could not start server because it is already "
                             "running.\tAT: "),
            1)
      << log;
  EXPECT_EQ(occurrences(log, "ERROR: Internal Error: Could not stop server because it is not "
                             "running.\tAT: "),
            1)
      << log;
}

TEST_F(ServiceConsoleTest, QuitWhileRunningStopsTheServiceFirst) {
  configure("mcastaddress 239.1.2.3\n");
  auto server = launch();
  EXPECT_EQ(command(*server, "S\n"), "\nServer started.\n" + kRunningMenu + kPrompt);
  std::unique_ptr<WireClient> alice;
  if (clientsAllowed) {
    alice = login("alice");
    ASSERT_TRUE(alice);
  }
  const std::size_t mark = server->output().size();
  server->write("q\n");
  EXPECT_EQ(server->waitExit(), 0);
  EXPECT_EQ(server->outputSince(mark), "\nExiting.\nServer Stopped.\n");
  if (clientsAllowed) expectShutdownSeenBy(*alice);
}

TEST_F(ServiceConsoleTest, EndOfInputWhileRunningActsAsQuit) {
  configure("mcastaddress 239.1.2.3\n");
  auto server = launch();
  EXPECT_EQ(command(*server, "S\n"), "\nServer started.\n" + kRunningMenu + kPrompt);
  std::unique_ptr<WireClient> alice;
  if (clientsAllowed) {
    alice = login("alice");
    ASSERT_TRUE(alice);
  }
  const std::size_t mark = server->output().size();
  server->closeInput();
  EXPECT_EQ(server->waitExit(), 0);
  EXPECT_EQ(server->outputSince(mark), "\nExiting.\nServer Stopped.\n");
  if (clientsAllowed) expectShutdownSeenBy(*alice);
}

TEST_F(ServiceConsoleTest, ScriptedConsoleRunsEveryCommand) {
  configure("mcastaddress 239.1.2.3\n");
  ChildProcess server(MSGSERVER_BINARY, {}, dir.path().string());
  // All of it arrives at once: no command may swallow the next one's line.
  server.write("S\nP\nQ\n");
  server.closeInput();
  EXPECT_EQ(server.waitExit(), 0);
  EXPECT_EQ(server.output(), kStoppedMenu + kPrompt + "\nServer started.\n" + kRunningMenu +
                                 kPrompt + "\nServer Stopped.\n" + kStoppedMenu + kPrompt +
                                 "\nExiting.\n");
}

TEST_F(ServiceConsoleTest, AWordIsTakenAsItsFirstLetter) {
  configure("mcastaddress 239.1.2.3\n");
  auto server = launch();
  // "start" starts the service; "tart" must not turn into commands of its own.
  EXPECT_EQ(command(*server, "start\n"), "\nServer started.\n" + kRunningMenu + kPrompt);
  if (clientsAllowed) {
    auto alice = login("alice");
    EXPECT_TRUE(alice);
  }
  const std::size_t mark = server->output().size();
  server->write("quit now\n");
  EXPECT_EQ(server->waitExit(), 0);
  EXPECT_EQ(server->outputSince(mark), "\nExiting.\nServer Stopped.\n");
}

}  // namespace
