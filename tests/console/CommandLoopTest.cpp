// The command loop of the real binary, driven through a pipe and through a terminal.
#include <gtest/gtest.h>

#include <string>

#include "ConsoleServer.h"

namespace {

class CommandLoopTest : public ConsoleServer {
 protected:
  // The service is never started here, so the configuration names no port.
  void SetUp() override {
    ConsoleServer::SetUp();
    dir.write(".serverrc", "mcastaddress 239.1.2.3\n");
  }
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

TEST_F(CommandLoopTest, ALineIsACommandOnlyWhenItHoldsOneLetter) {
  // "please list the users" must not stop anything (P), and no rest of a line becomes the next
  // command; spaces and tabs around the letter are allowed; a line too long to keep is whole.
  const std::string invalid = kPrompt + "\nInvalid Command!\n" + kStoppedMenu;
  std::string out =
      runScript("please list the users\n" + std::string(200, 'q') + "\n  m \t\n\tq\n");
  EXPECT_EQ(out, kStoppedMenu + invalid + invalid + kPrompt + "\n" + kStoppedMenu +
                     kStoppedMenu + kPrompt + "\nExiting.\n");
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
  auto server = launch(ChildProcess::Console::Terminal);
  server->write("z\r");
  ASSERT_TRUE(server->waitFor("Invalid Command!"));
  ASSERT_TRUE(server->waitForCount(kPrompt, 2));
  server->write("q\r");
  EXPECT_EQ(server->waitExit(), 0);
  EXPECT_NE(server->output().find("Exiting."), std::string::npos);
}

TEST_F(CommandLoopTest, EndOfInputOnATerminalQuits) {
  auto server = launch(ChildProcess::Console::Terminal);
  server->closeInput();
  EXPECT_EQ(server->waitExit(), 0);
}

}  // namespace
