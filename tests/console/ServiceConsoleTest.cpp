// The service driven end to end through the real binary's console: diagnostics, start, stop,
// quit and the end of input, with real clients on the listener while it runs.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#endif

#include <functional>
#include <memory>
#include <string>

#include "ConsoleServer.h"

namespace {

const std::string kShutdownNotice = "MESS:The server is shutting down!";

class ServiceConsoleTest : public ConsoleServer {
 protected:
  // What every logged-in user must see when the service stops: the notice, its QUIT, the end.
  static void expectShutdownSeenBy(WireClient& client) {
    EXPECT_EQ(nextSkippingLogins(client), kShutdownNotice);
    EXPECT_EQ(client.next(), "QUIT");
    EXPECT_TRUE(client.closedByPeer());
  }

  // Starts the service with alice logged in, has leave() end the console, and checks that the
  // binary stops the service on its way out and that alice is told.
  void expectLeavingStopsTheService(const std::function<void(ChildProcess&)>& leave) {
    configure("mcastaddress 239.1.2.3\n");
    auto server = launchRunning();
    auto alice = login("alice");
    ASSERT_TRUE(alice);
    const std::size_t mark = server->output().size();
    leave(*server);
    EXPECT_EQ(server->waitExit(), 0);
    EXPECT_EQ(server->outputSince(mark), "\nExiting.\nServer Stopped.\n");
    expectShutdownSeenBy(*alice);
  }
};

TEST_F(ServiceConsoleTest, DiagnosticsPassWithAGoodConfiguration) {
  configure("mcastaddress 239.1.2.3\n");
  auto server = launch();
  EXPECT_EQ(command(*server, "D\n"),
            "\nDiagnostics Complete: No errors found.\n" + kStoppedMenu + kPrompt);
  quit(*server);
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
  // The numbers out of range are the file's problems too: warnings, which the log does not get.
  const std::string warnings =
      "Warnings:"
      "\n\tOut-of-range mcastport setting '99' (line 9 of .serverrc, range 1024 - 65535): the "
      "value in force is 99"
      "\n\tOut-of-range capacity setting '1001' (line 10 of .serverrc, range 0 - 1000): the "
      "value in force is 1001"
      "\n\tOut-of-range port setting '80' (line 11 of .serverrc, range 1024 - 65535): the value "
      "in force is 80";
  auto server = launch();
  EXPECT_EQ(command(*server, "d\n"), "\n" + report + "\n" + warnings +
                                         "\nDiagnostics Complete: Errors found.\n" + kStoppedMenu +
                                         kPrompt);
  quit(*server);
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
  EXPECT_FALSE(connect());
  quit(*server);
}

TEST_F(ServiceConsoleTest, StartServeRefuseSecondStartStopAndRefuseSecondStop) {
  configure("mcastaddress 239.1.2.3\n");
  auto server = launchRunning();

  auto alice = login("alice");
  ASSERT_TRUE(alice);
  auto bob = login("bob");
  ASSERT_TRUE(bob);
  EXPECT_EQ(alice->next().substr(0, 8), "USER:bob");
  ASSERT_TRUE(alice->sendText("PRIV", "bob\xFC" "hello", "alice"));
  EXPECT_EQ(nextSkippingLogins(*bob), "PRIV:bob\xFC" "hello");
  ASSERT_TRUE(bob->sendText("PRIV", "alice\xFC" "hi", "bob"));
  EXPECT_EQ(nextSkippingLogins(*alice), "PRIV:alice\xFC" "hi");

  // The running service is left alone by a second start.
  EXPECT_EQ(command(*server, "S\n"),
            "\nInternal Error: Could not start server because it is already running.\n"
            "Server not started.\n" +
                kRunningMenu + kPrompt);
  ASSERT_TRUE(alice->sendText("PRIV", "bob\xFC" "still here", "alice"));
  EXPECT_EQ(nextSkippingLogins(*bob), "PRIV:bob\xFC" "still here");

  EXPECT_EQ(command(*server, "P\n"), "\nServer Stopped.\n" + kStoppedMenu + kPrompt);
  expectShutdownSeenBy(*alice);
  expectShutdownSeenBy(*bob);

  // Stop's own report is all there is: no "Server Stopped." after it.
  EXPECT_EQ(command(*server, "P\n"),
            "\nInternal Error: Could not stop server because it is not running.\n" +
                kStoppedMenu + kPrompt);

  // The stopped service starts again on the same port.
  EXPECT_EQ(command(*server, "S\n"), "\n" + startedText() + kRunningMenu + kPrompt);
  auto carol = login("carol");
  EXPECT_TRUE(carol);
  quit(*server);

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
  expectLeavingStopsTheService([](ChildProcess& server) { server.write("q\n"); });
}

TEST_F(ServiceConsoleTest, EndOfInputWhileRunningActsAsQuit) {
  expectLeavingStopsTheService([](ChildProcess& server) { server.closeInput(); });
}

#ifndef _WIN32
// A stop request at the console is Q: the service stops as P stops it (every user told), and
// the program ends with status 0.
TEST_F(ServiceConsoleTest, SigintOrSigtermAtTheConsoleStopsTheServiceAndQuits) {
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    expectLeavingStopsTheService(
        [signal](ChildProcess& server) { ASSERT_EQ(::kill(server.pid(), signal), 0); });
  }
}

TEST_F(ServiceConsoleTest, CtrlCTypedAtAHiddenQuestionQuitsWithTheEchoBackOn) {
  configure("mcastaddress 239.1.2.3\n");
  auto server = launch(ChildProcess::Console::Terminal);
  server->write("S\n");
  ASSERT_TRUE(server->waitFor("Server started.")) << server->output();
  auto alice = login("alice");
  ASSERT_TRUE(alice);
  server->write("U\nbob\n");
  ASSERT_TRUE(server->waitFor("Enter password> ")) << server->output();
  ASSERT_FALSE(server->terminalEcho());
  server->write("\x03");  // the terminal's interrupt character
  expectShutdownSeenBy(*alice);
  EXPECT_EQ(server->waitExit(), 0);
  EXPECT_NE(server->output().find("Server Stopped."), std::string::npos) << server->output();
  EXPECT_TRUE(server->terminalEcho());
  EXPECT_EQ(dir.read("passwd"), "");
  // The stop wrote alice's departure, as every stop does.
  EXPECT_EQ(occurrences(dir.read("connectionlog"), "Disconnect: USER: alice\t"), 1);
}

TEST_F(ServiceConsoleTest, AClosedTerminalActsAsQuit) {
  configure("mcastaddress 239.1.2.3\n");
  auto server = launch(ChildProcess::Console::Terminal);
  server->write("S\n");
  ASSERT_TRUE(server->waitFor("Server started.")) << server->output();
  auto alice = login("alice");
  ASSERT_TRUE(alice);
  server->hangUp();
  expectShutdownSeenBy(*alice);
  EXPECT_EQ(server->waitExit(), 0);
}

TEST_F(ServiceConsoleTest, AConsoleNobodyReadsAnyMoreDoesNotEndTheProgram) {
  configure("mcastaddress 239.1.2.3\n");
  auto server = launchRunning();
  auto alice = login("alice");
  ASSERT_TRUE(alice);
  server->closeOutput();
  // Each command's report and menu now go to a closed pipe.
  server->write("L\nM\nP\n");
  expectShutdownSeenBy(*alice);
  server->write("Q\n");
  EXPECT_EQ(server->waitExit(), 0);
}
#endif

TEST_F(ServiceConsoleTest, ScriptedConsoleRunsEveryCommand) {
  configure("mcastaddress 239.1.2.3\n");
  // All of it arrives at once: no command may swallow the next one's line.
  EXPECT_EQ(runScript("S\nP\nQ\n"), kStoppedMenu + kPrompt + "\n" + startedText() + kRunningMenu +
                                           kPrompt + "\nServer Stopped.\n" + kStoppedMenu +
                                           kPrompt + "\nExiting.\n");
}

TEST_F(ServiceConsoleTest, AWordIsNoCommandEvenWhileTheServiceRuns) {
  configure("mcastaddress 239.1.2.3\n");
  auto server = launch();
  EXPECT_EQ(command(*server, "start\n"), "\nInvalid Command!\n" + kStoppedMenu + kPrompt);
  EXPECT_EQ(command(*server, " s \n"), "\n" + startedText() + kRunningMenu + kPrompt);
  // "please list the users" is not P: the service keeps running.
  EXPECT_EQ(command(*server, "please list the users\n"),
            "\nInvalid Command!\n" + kRunningMenu + kPrompt);
  const std::size_t mark = server->output().size();
  server->write("quit now\nq\n");
  EXPECT_EQ(server->waitExit(), 0);
  EXPECT_EQ(server->outputSince(mark),
            "\nInvalid Command!\n" + kRunningMenu + kPrompt + "\nExiting.\nServer Stopped.\n");
}

}  // namespace
