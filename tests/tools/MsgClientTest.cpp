// msgclient end to end: the real client binary against the real server binary on 127.0.0.1, driven as a person (pipes, or a pseudo-terminal where echo matters) and
// as a script.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "ServiceFixture.h"
#include "TempDir.h"
#include "WireClient.h"
#include "platform/StreamSocket.h"

namespace {

const std::string kClient = MSGSERVER_BUILD_DIR "/msgclient";

class MsgClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port = freeLoopbackPort();
    ASSERT_NE(port, 0);
  }

  void TearDown() override {
    if (server) {
      server->write("Q\n");
      server->waitExit();
    }
  }

  // Starts build/msgserver with the free port, the multicast group and the extra lines.
  void startServer(const std::string& settings = "") {
    dir.write(".serverrc",
              "port " + std::to_string(port) + "\nlisten " + address +
                  "\nmcastaddress 239.1.2.3\n" + settings);
    server = std::make_unique<ChildProcess>(MSGSERVER_BINARY, std::vector<std::string>{},
                                            dir.path().string());
    ASSERT_TRUE(server->waitFor("Enter command> "));
    server->write("S\n");
    ASSERT_TRUE(server->waitFor("Server started.")) << server->output();
  }

  std::unique_ptr<ChildProcess> client(std::vector<std::string> arguments,
                                       ChildProcess::Console console = ChildProcess::Console::Pipes,
                                       const std::vector<std::string>& environment = {}) {
    arguments.push_back(address);
    arguments.push_back(std::to_string(port));
    auto child = std::make_unique<ChildProcess>(kClient, arguments, dir.path().string(), console,
                                                environment);
    EXPECT_TRUE(child->started());
    return child;
  }

  // An interactive client logged in at the open level.
  std::unique_ptr<ChildProcess> loggedIn(
      const std::string& name, ChildProcess::Console console = ChildProcess::Console::Pipes) {
    auto child = client({}, console);
    EXPECT_TRUE(child->waitFor("Login: ")) << child->output();
    child->write(name + "\n");
    EXPECT_TRUE(child->waitFor("Logged in as " + name + ".")) << child->output();
    EXPECT_TRUE(child->waitFor("Type /help for the commands.")) << child->output();
    return child;
  }

  // A raw client on the wire, logged in at the open level; null when any step fails.
  std::unique_ptr<WireClient> wireLogin(const std::string& name) {
    auto socket = std::make_unique<StreamSocket>(port, address.c_str());
    if (!socket->connect()) return nullptr;
    socket->setReceiveTimeout(5);
    auto wire = std::make_unique<WireClient>(std::move(socket));
    Packet packet;
    if (!wire->skipTo("LEVL", packet)) return nullptr;
    if (!wire->sendText("USER", name)) return nullptr;
    if (!wire->skipTo("CONN", packet)) return nullptr;
    return wire;
  }

  TempDir dir;
  std::uint16_t port = 0;
  std::string address = "127.0.0.1";  // where the server listens
  std::unique_ptr<ChildProcess> server;
};

TEST_F(MsgClientTest, TwoClientsExchangePrivateMessagesMailAndEveryoneMessages) {
  startServer();
  auto bob = loggedIn("bob");
  EXPECT_TRUE(bob->waitFor("Nobody else is on line."));
  auto alice = loggedIn("alice");
  EXPECT_TRUE(alice->waitFor("On line besides you (1):\n  bob        from " + address));
  EXPECT_TRUE(bob->waitFor("*** alice joined from " + address)) << bob->output();

  alice->write("/msg bob hello bob\n");
  EXPECT_TRUE(bob->waitFor("] alice (private): hello bob\n")) << bob->output();
  // A line without a command answers whoever wrote last.
  bob->write("hello yourself\n");
  EXPECT_TRUE(alice->waitFor("] bob (private): hello yourself\n")) << alice->output();
  alice->write("/mail bob a letter for later\n");
  EXPECT_TRUE(bob->waitFor("] alice (mail): a letter for later\n")) << bob->output();
  bob->write("/all good morning\n");
  EXPECT_TRUE(alice->waitFor("] bob (everyone): good morning\n")) << alice->output();
  EXPECT_TRUE(bob->waitFor("] bob (everyone): good morning\n")) << bob->output();

  alice->write("/quit\n");
  EXPECT_EQ(alice->waitExit(), 0) << alice->output();
  EXPECT_TRUE(bob->waitFor("*** alice left\n")) << bob->output();
  bob->write("/who\n");
  EXPECT_TRUE(bob->waitForCount("Nobody else is on line.", 2)) << bob->output();
  bob->closeInput();
  EXPECT_EQ(bob->waitExit(), 0) << bob->output();
}

TEST_F(MsgClientTest, ALineWithoutARecipientSaysHowToAddressSomeone) {
  startServer();
  auto alice = loggedIn("alice");
  alice->write("is anybody there?\n");
  EXPECT_TRUE(alice->waitFor("Nobody to send that to yet: write /msg NAME TEXT"))
      << alice->output();
  alice->write("/msg nobody hi\n");
  EXPECT_TRUE(alice->waitFor("*** Could not deliver message to nobody.  User is not connected"))
      << alice->output();
}

TEST_F(MsgClientTest, TheUserListArrivesWholeWhenTheServerSendsItInParts) {
  startServer("capacity 25\n");
  // Entries of about 40 bytes: twelve users need more than one 512-byte part.
  std::vector<std::unique_ptr<WireClient>> others;
  for (int i = 0; i < 12; ++i) {
    others.push_back(wireLogin("user" + std::to_string(10 + i)));
    ASSERT_TRUE(others.back());
  }
  auto alice = loggedIn("alice");
  EXPECT_TRUE(alice->waitFor("On line besides you (12):")) << alice->output();
  for (int i = 0; i < 12; ++i) {
    EXPECT_NE(alice->output().find("  user" + std::to_string(10 + i) + "     from "),
              std::string::npos)
        << i;
  }
}

TEST_F(MsgClientTest, TheServerShuttingDownIsShownAndEndsTheClientWithAFailure) {
  startServer();
  auto alice = loggedIn("alice");
  server->write("P\n");
  EXPECT_TRUE(alice->waitFor("*** The server is shutting down!")) << alice->output();
  EXPECT_EQ(alice->waitExit(), 1) << alice->output();
  EXPECT_NE(alice->output().find("*** Connection closed by server."), std::string::npos);
}

TEST_F(MsgClientTest, HostileBytesInAMessageReachTheTerminalEscaped) {
  startServer();
  auto bob = loggedIn("bob", ChildProcess::Console::Terminal);
  auto mallory = wireLogin("mallory");
  ASSERT_TRUE(mallory);
  // Clear the screen, retitle the window, ring the bell, a C1 control sequence introducer,
  // and a right-to-left override. The sender field carries an escape too, which the server
  // replaces with the session's name.
  const std::string body =
      "\x1b[2J\x1b]0;owned\x07 \xC2\x9B"
      "31m \xE2\x80\xAE"
      "txt.exe\r\nok";
  ASSERT_TRUE(mallory->send("PRIV", "bob\xFC" + body + "\xFD", "mal\x1b[1m"));
  ASSERT_TRUE(bob->waitFor("ok\r\n")) << bob->output();
  const std::string& shown = bob->output();
  EXPECT_NE(shown.find("mallory (private): \\x1b[2J\\x1b]0;owned\\x07 \\u009B31m "
                       "\\u202Etxt.exe\\r\\nok"),
            std::string::npos)
      << shown;
  for (const char* raw : {"\x1b", "\x07", "\xC2\x9B", "\xE2\x80\xAE"}) {
    EXPECT_EQ(shown.find(raw), std::string::npos) << "raw bytes reached the terminal";
  }
}

class MsgClientLoginTest : public MsgClientTest {
 protected:
  void SetUp() override {
    MsgClientTest::SetUp();
    if (IsSkipped()) return;
    dir.write("passwd", "carol:secret:Carol Cole\n");
    startServer("security LOGIN\n");
  }
};

TEST_F(MsgClientLoginTest, ThePasswordIsAskedWithoutEchoAndARefusalAsksAgain) {
  auto carol = client({}, ChildProcess::Console::Terminal);
  ASSERT_TRUE(carol->waitFor("Login: ")) << carol->output();
  EXPECT_TRUE(carol->terminalEcho());
  carol->write("carol\n");
  ASSERT_TRUE(carol->waitFor("Password: ")) << carol->output();
  EXPECT_FALSE(carol->terminalEcho());
  carol->write("wrong\n");
  ASSERT_TRUE(carol->waitFor("*** Login refused: Login incorrect.")) << carol->output();
  ASSERT_TRUE(carol->waitForCount("Login: ", 2)) << carol->output();
  EXPECT_TRUE(carol->terminalEcho());
  carol->write("carol\n");
  ASSERT_TRUE(carol->waitForCount("Password: ", 2)) << carol->output();
  carol->write("secret\n");
  ASSERT_TRUE(carol->waitFor("*** Logged in as carol.")) << carol->output();
  EXPECT_EQ(carol->output().find("wrong"), std::string::npos) << "the password was echoed";
  EXPECT_EQ(carol->output().find("secret"), std::string::npos) << "the password was echoed";
  carol->write("/quit\n");
  EXPECT_EQ(carol->waitExit(), 0) << carol->output();
}

TEST_F(MsgClientLoginTest, TooManyFailedAttemptsEndWithAClearLineAndAFailure) {
  auto carol = client({});
  for (int attempt = 1; attempt <= 4; ++attempt) {
    ASSERT_TRUE(carol->waitForCount("Login: ", attempt)) << carol->output();
    carol->write("carol\n");
    ASSERT_TRUE(carol->waitForCount("Password: ", attempt)) << carol->output();
    carol->write("wrong\n");
  }
  EXPECT_TRUE(carol->waitFor("*** Too many failed login attempts.")) << carol->output();
  EXPECT_EQ(carol->waitExit(), 1) << carol->output();
  EXPECT_NE(carol->output().find("*** Not logged in: the server closed the connection."),
            std::string::npos)
      << carol->output();
}

TEST_F(MsgClientLoginTest, AScriptTakesItsPasswordFromTheEnvironment) {
  auto bob = client({"--user", "carol", "--to", "carol"}, ChildProcess::Console::Pipes,
                    {"MSGCLIENT_PASSWORD=secret"});
  bob->write("note to self\n");
  bob->closeInput();
  EXPECT_EQ(bob->waitExit(), 0) << bob->output();
  EXPECT_NE(bob->output().find("] carol (private): note to self"), std::string::npos);

  auto refused = client({"--user", "carol", "--to", "carol"}, ChildProcess::Console::Pipes,
                        {"MSGCLIENT_PASSWORD=wrong"});
  refused->closeInput();
  EXPECT_EQ(refused->waitExit(), 1) << refused->output();
  EXPECT_NE(refused->output().find("Login refused: Login incorrect."), std::string::npos);
}

TEST_F(MsgClientTest, AScriptDeliversEveryLineAndSucceeds) {
  startServer();
  auto bob = loggedIn("bob");
  auto script = client({"--user", "al", "--to", "bob"});
  script->write("first line\nsecond line\n");
  script->closeInput();
  EXPECT_EQ(script->waitExit(), 0) << script->output();
  EXPECT_TRUE(bob->waitFor("] al (private): first line\n")) << bob->output();
  EXPECT_TRUE(bob->waitFor("] al (private): second line\n")) << bob->output();
}

TEST_F(MsgClientTest, AScriptWithAnUnknownRecipientFailsWhateverTheLengthOfItsName) {
  startServer();
  auto bob = loggedIn("bob");
  // Longer than the header's name field: the notices still find it.
  auto script = client({"--user", "alexandria", "--to", "bob,nobody"});
  script->write("one line\n");
  script->closeInput();
  EXPECT_EQ(script->waitExit(), 1) << script->output();
  EXPECT_NE(
      script->output().find("*** Could not deliver message to nobody.  User is not connected"),
      std::string::npos)
      << script->output();
  EXPECT_NE(script->output().find("msgclient: 1 undeliverable notice(s) came back"),
            std::string::npos);
  // The recipients who are on line still got it, under the name's first eight characters.
  EXPECT_TRUE(bob->waitFor("] alexandr (private): one line\n")) << bob->output();
}

}  // namespace
