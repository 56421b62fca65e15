// The command loop of the real binary, driven through a pipe and through a terminal.
#include <gtest/gtest.h>

#include <string>

#include "ChildProcess.h"
#include "TempDir.h"

namespace {

const std::string kStoppedMenu =
    "\n\n\t\tServer Commands:\n\n\t\tM Print Menu\n\t\tS Start Services\n\t\tD Diagnostic\n"
    "\t\tC Configure\n\t\tU Add User\n\t\tH Add Host\n\t\tQ Quit\n\n";
const std::string kPrompt = "Enter command> ";

class CommandLoopTest : public ::testing::Test {
 protected:
  void SetUp() override { dir.write(".serverrc", "mcastaddress 239.1.2.3\n"); }

  std::string runScript(const std::string& script) {
    ChildProcess server(MSGSERVER_BINARY, {}, dir.path().string());
    server.write(script);
    server.closeInput();
    EXPECT_EQ(server.waitExit(), 0);
    return server.output();
  }

  TempDir dir;
};

TEST_F(CommandLoopTest, MenuAndPromptComeFirstAndQQuits) {
  std::string out = runScript("Q\n");
  EXPECT_EQ(out, kStoppedMenu + kPrompt + "\nExiting.\n");
}

TEST_F(CommandLoopTest, MPrintsTheMenuTwiceBeforeTheNextPrompt) {
  std::string out = runScript("M\nq\n");
  EXPECT_EQ(out, kStoppedMenu + kPrompt + "\n" + kStoppedMenu + kStoppedMenu + kPrompt +
                     "\nExiting.\n");
}

TEST_F(CommandLoopTest, UnknownLetterAndEmptyLineAreInvalidCommands) {
  std::string out = runScript("x\n\nQ\n");
  std::string invalid = kPrompt + "\nInvalid Command!\n" + kStoppedMenu;
  EXPECT_EQ(out, kStoppedMenu + invalid + invalid + kPrompt + "\nExiting.\n");
}

TEST_F(CommandLoopTest, OnlyTheFirstLetterOfALineCounts) {
  // "mxq" is M: the rest of the line must not become the next commands.
  std::string out = runScript("mxq\nqxm\n");
  EXPECT_EQ(out, kStoppedMenu + kPrompt + "\n" + kStoppedMenu + kStoppedMenu + kPrompt +
                     "\nExiting.\n");
}

TEST_F(CommandLoopTest, EndOfInputActsAsQuit) {
  EXPECT_EQ(runScript(""), kStoppedMenu + kPrompt + "\nExiting.\n");
  // A last command without its line feed still runs before the end.
  std::string out = runScript("x");
  EXPECT_EQ(out, kStoppedMenu + kPrompt + "\nInvalid Command!\nExiting.\n");
}

TEST_F(CommandLoopTest, MissingConfigurationFileIsReportedAndLogged) {
  std::filesystem::remove(dir.path() / ".serverrc");
  std::string out = runScript("Q\n");
  EXPECT_EQ(out.rfind("Internal Error: File .serverrc not found.\n" + kStoppedMenu, 0), 0u) << out;
  std::string log = dir.read(".servererrors");
  EXPECT_EQ(log.rfind("ERROR: Internal Error: File .serverrc not found.\tAT: ", 0), 0u) << log;
  EXPECT_EQ(log.back(), '\n');
}

TEST_F(CommandLoopTest, WorksTheSameOnATerminal) {
  ChildProcess server(MSGSERVER_BINARY, {}, dir.path().string(), ChildProcess::Console::Terminal);
  ASSERT_TRUE(server.waitFor(kPrompt));
  server.write("z\r");
  ASSERT_TRUE(server.waitFor("Invalid Command!"));
  ASSERT_TRUE(server.waitForCount(kPrompt, 2));
  server.write("q\r");
  EXPECT_EQ(server.waitExit(), 0);
  EXPECT_NE(server.output().find("Exiting."), std::string::npos);
}

TEST_F(CommandLoopTest, EndOfInputOnATerminalQuits) {
  ChildProcess server(MSGSERVER_BINARY, {}, dir.path().string(), ChildProcess::Console::Terminal);
  ASSERT_TRUE(server.waitFor(kPrompt));
  server.closeInput();
  EXPECT_EQ(server.waitExit(), 0);
}

}  // namespace
