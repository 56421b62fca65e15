// The test programs' main on Windows: GoogleTest's own, plus what the system needs first
// (Winsock started, as the server's entry point does) and the tests that cannot run here
// skipped with their reason, so that every other test of every program runs as on Linux.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/Network.h"

namespace {

struct CannotRunHere {
  const char* test;  // suite.name
  const char* reason;
};

// These tests type at a child's console as a person would and read back its echo; the test
// support does that through a Linux pseudo-terminal and runs children on pipes only here. The
// hidden entry on a real Windows console (echo off and on through SetConsoleMode) is checked
// by the smoke test of `make test-windows` instead, on a Wine console.
constexpr const char* kNoPseudoTerminal =
    "drives the child's console through a pseudo-terminal, which the test support has on Linux "
    "only (the smoke test checks the Windows console)";

const CannotRunHere kSkipped[] = {
    {"CommandLoopTest.WorksTheSameOnATerminal", kNoPseudoTerminal},
    {"CommandLoopTest.EndOfInputOnATerminalQuits", kNoPseudoTerminal},
    {"AccountsTest.PasswordIsNotEchoedOnATerminal", kNoPseudoTerminal},
    {"AccountsTest.EchoComesBackWhenInputEndsAtTheHiddenQuestion", kNoPseudoTerminal},
    {"MsgClientTest.HostileBytesInAMessageReachTheTerminalEscaped", kNoPseudoTerminal},
    {"MsgClientLoginTest.ThePasswordIsAskedWithoutEchoAndARefusalAsksAgain", kNoPseudoTerminal},
};

// Skips a listed test before its fixture is built: a skip recorded when a test starts keeps
// its body from running.
class SkipWhatCannotRunHere : public testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo& info) override {
    const std::string name = std::string(info.test_suite_name()) + "." + info.name();
    for (const auto& entry : kSkipped) {
      if (name == entry.test) GTEST_SKIP() << "Not on Windows: " << entry.reason;
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  startWinsock();
  testing::UnitTest::GetInstance()->listeners().Append(new SkipWhatCannotRunHere);
  const int result = RUN_ALL_TESTS();
  stopWinsock();
  return result;
}
