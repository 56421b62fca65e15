// The program's command line, run as the real binary: help, version and usage errors, the
// configuration check, and serving without a console until SIGTERM or SIGINT. (POSIX: the
// test sends the signals.)
#ifndef _WIN32
#include <gtest/gtest.h>

#include <signal.h>

#include <memory>
#include <string>
#include <vector>

#include "ConsoleServer.h"

namespace {

class ServeModeTest : public ConsoleServer {
 protected:
  void SetUp() override {
    ConsoleServer::SetUp();
    configure("mcastaddress 239.1.2.3\n");
  }

  std::unique_ptr<ChildProcess> run(const std::vector<std::string>& arguments) const {
    auto child = std::make_unique<ChildProcess>(MSGSERVER_BINARY, arguments,
                                                dir.path().string(),
                                                ChildProcess::Console::Pipes, environment);
    EXPECT_TRUE(child->started());
    return child;
  }
};

TEST_F(ServeModeTest, HelpVersionAndUsageErrorsHaveTheirStatus) {
  auto help = run({"--serve", "--help"});
  EXPECT_EQ(help->waitExit(), 0);
  EXPECT_EQ(help->output().rfind("Usage: msgserver [--config FILE]", 0), 0u) << help->output();
  auto version = run({"--version"});
  EXPECT_EQ(version->waitExit(), 0);
  EXPECT_EQ(version->output().rfind("msgserver ", 0), 0u);
  for (const std::vector<std::string>& wrong :
       {std::vector<std::string>{"--bogus"}, {"--config"}, {"--check", "--serve"}, {"extra"}}) {
    auto child = run(wrong);
    EXPECT_EQ(child->waitExit(), 2) << wrong[0];
    EXPECT_EQ(child->output().rfind("msgserver: ", 0), 0u) << child->output();
    EXPECT_NE(child->output().find("Usage: msgserver"), std::string::npos);
  }
}

TEST_F(ServeModeTest, CheckSaysWhetherTheNamedConfigurationHasProblems) {
  auto good = run({"--check"});
  EXPECT_EQ(good->waitExit(), 0);
  EXPECT_NE(good->output().find("No errors found."), std::string::npos) << good->output();
  dir.write("bad.rc", "port " + std::to_string(port) + "\nmcastaddress 10.1.2.3\n");
  auto bad = run({"--config", "bad.rc", "--check"});
  EXPECT_EQ(bad->waitExit(), 1);
  EXPECT_NE(bad->output().find("Errors found."), std::string::npos) << bad->output();
  EXPECT_EQ(bad->output().find("Enter command> "), std::string::npos);
}

TEST_F(ServeModeTest, ServesWithoutAConsoleUntilASignalThatEveryoneHears) {
  if (!clientsReachable()) GTEST_SKIP() << "this machine's name does not resolve to loopback";
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    auto server = run({"--serve"});
    ASSERT_TRUE(server->waitFor("Server started.\n")) << server->output();
    auto alice = login("alice");
    auto bob = login("bob");
    ASSERT_TRUE(alice && bob);
    ASSERT_EQ(::kill(server->pid(), signal), 0);
    for (WireClient* client : {alice.get(), bob.get()}) {
      std::string packet = nextSkippingLogins(*client);
      EXPECT_EQ(packet, "MESS:The server is shutting down!");
      EXPECT_EQ(client->next(), "QUIT");
    }
    EXPECT_EQ(server->waitExit(), 0);
    EXPECT_NE(server->output().find("Server Stopped.\n"), std::string::npos) << server->output();
    // A stop is the end of each session it drops: both have their line.
    const std::string log = dir.read("connectionlog");
    EXPECT_EQ(occurrences(log, "Disconnect: USER: alice\t"), 1) << log;
    EXPECT_EQ(occurrences(log, "Disconnect: USER: bob\t"), 1) << log;
    std::filesystem::remove(dir.path() / "connectionlog");
  }
}

TEST_F(ServeModeTest, ServeEndsWithStatusOneWhenTheServiceCannotStart) {
  auto first = run({"--serve"});
  ASSERT_TRUE(first->waitFor("Server started.\n")) << first->output();
  auto second = run({"--serve"});  // the same port
  EXPECT_EQ(second->waitExit(), 1);
  EXPECT_NE(second->output().find("Server not started."), std::string::npos) << second->output();
  ASSERT_EQ(::kill(first->pid(), SIGTERM), 0);
  EXPECT_EQ(first->waitExit(), 0);
}

}  // namespace
#endif
