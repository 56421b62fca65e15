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
  // Passwords in clear at SECURE are a warning, not an error.
  configure("mcastaddress 239.1.2.3\nsecurity SECURE\n");
  dir.write("passwd", "ann:pw:Ann\n");
  auto clear = run({"--check"});
  EXPECT_EQ(clear->waitExit(), 0);
  EXPECT_NE(clear->output().find("Warnings:\n\tPassword file passwd holds 1 password in clear "
                                 "text (passwordhash stores new ones hashed)\n"),
            std::string::npos)
      << clear->output();
}

TEST_F(ServeModeTest, CheckPrintsEveryProblemOfTheFileOnceWithItsLine) {
  dir.write("bad.rc", "port 99999\nlisten 127.0.0.1\nsecurity LOGN\ncapacity ten\n"
                      "hostcheck yes\nmcast-ttl FAR\nmcastaddress 239.1.2.3\nnoise\n");
  auto bad = run({"--config", "bad.rc", "--check"});
  EXPECT_EQ(bad->waitExit(), 1);
  const std::string out = bad->output();
  for (const char* line :
       {"\n\tInvalid security setting (Must be FREEFORALL, LOGIN, SECURE)\n",
        "\n\tOut-of-range port setting '99999' (line 1 of bad.rc, range 1024 - 65535): the value "
        "in force is 34463\n",
        "\n\tUnknown security setting 'LOGN' (line 3 of bad.rc): no level is in force\n",
        "\n\tNon-numeric capacity setting 'ten' (line 4 of bad.rc): the value in force is 0\n",
        "\n\tUnknown hostcheck setting 'yes' (line 5 of bad.rc): the value in force is FALSE\n",
        "\n\tUnknown mcast-ttl setting 'FAR' (line 6 of bad.rc): the value in force is REGION\n",
        "\n\tUnknown setting 'noise' (line 8 of bad.rc): ignored\n",
        "\nDiagnostics Complete: Errors found.\n"}) {
    EXPECT_EQ(occurrences(out, line), 1) << line << out;
  }
  // A missing file is a problem too.
  auto missing = run({"--config", "missing.rc", "--check"});
  EXPECT_EQ(missing->waitExit(), 1);
  EXPECT_NE(missing->output().find("Internal Error: File missing.rc not found.\n"),
            std::string::npos);
}

TEST_F(ServeModeTest, TheFilesProblemsAreWarningsThatFailTheCheckButNotTheStart) {
  configure("mcastaddress 239.1.2.3\ncapacity 5x\nmcast-ttl far\n");
  const std::string warnings =
      "Warnings:\n\tUnknown mcast-ttl setting 'far' (line 5 of .serverrc): the value in force "
      "is REGION\n";
  auto check = run({"--check"});
  EXPECT_EQ(check->waitExit(), 1);
  EXPECT_EQ(check->output(),
            warnings + "Diagnostics Complete: Problems found in the configuration file.\n");
  auto server = run({"--serve"});
  ASSERT_TRUE(server->waitFor("Server started.\n")) << server->output();
  EXPECT_EQ(server->output().rfind(warnings + "Server started.\n", 0), 0u) << server->output();
  ASSERT_EQ(::kill(server->pid(), SIGTERM), 0);
  EXPECT_EQ(server->waitExit(), 0);
}

TEST_F(ServeModeTest, ServesWithoutAConsoleUntilASignalThatEveryoneHears) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    auto server = run({"--serve"});
    ASSERT_TRUE(server->waitFor(startedText())) << server->output();
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
  // The report names the address, the port and the system's reason.
  EXPECT_NE(second->output().find("Internal Error: Could not open listening socket on 127.0.0.1 "
                                  "port " +
                                  std::to_string(port) + ": Address already in use.\n"
                                  "Server not started.\n"),
            std::string::npos)
      << second->output();
  ASSERT_EQ(::kill(first->pid(), SIGTERM), 0);
  EXPECT_EQ(first->waitExit(), 0);
}

}  // namespace
#endif
