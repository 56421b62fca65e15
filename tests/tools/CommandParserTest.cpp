// msgclient's reading of what a person types, and of its own command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ClientArguments.h"
#include "CommandParser.h"

namespace {

using msgclient::ClientArguments;
using msgclient::Command;
using msgclient::CommandParser;

class CommandParserTest : public ::testing::Test {};

TEST_F(CommandParserTest, MsgTakesCommaSeparatedNamesAndTheRestOfTheLineAsTyped) {
  Command command = CommandParser::parse("/msg alice,,bob  hello,  world ");
  ASSERT_EQ(command.kind, Command::Kind::Message);
  EXPECT_EQ(command.recipients, (std::vector<std::string>{"alice", "bob"}));
  EXPECT_EQ(command.text, "hello,  world ");
}

TEST_F(CommandParserTest, MailAndAllAreTheirOwnKinds) {
  Command mail = CommandParser::parse("/MAIL carol see you");
  ASSERT_EQ(mail.kind, Command::Kind::Mail);
  EXPECT_EQ(mail.recipients, std::vector<std::string>{"carol"});
  EXPECT_EQ(mail.text, "see you");
  Command all = CommandParser::parse("/all hi there");
  ASSERT_EQ(all.kind, Command::Kind::Everyone);
  EXPECT_EQ(all.text, "hi there");
}

TEST_F(CommandParserTest, CommandsWithoutTheirTextSayHowToUseThem) {
  for (const char* line : {"/msg", "/msg bob", "/msg bob   ", "/mail ,", "/all", "/all  "}) {
    Command command = CommandParser::parse(line);
    EXPECT_EQ(command.kind, Command::Kind::Invalid) << line;
    EXPECT_FALSE(command.problem.empty()) << line;
  }
  EXPECT_EQ(CommandParser::parse("/msg bob").problem, "Usage: /msg NAME[,NAME...] TEXT");
}

TEST_F(CommandParserTest, AnUnknownCommandIsNotSentAsText) {
  Command command = CommandParser::parse("/mgs bob hi");
  ASSERT_EQ(command.kind, Command::Kind::Invalid);
  EXPECT_EQ(command.problem, "Unknown command /mgs. Type /help for the commands.");
}

TEST_F(CommandParserTest, PlainLinesAreTextAndADoubleSlashStandsForOne) {
  EXPECT_EQ(CommandParser::parse("hello").kind, Command::Kind::Text);
  EXPECT_EQ(CommandParser::parse(" /who").text, " /who");
  Command slash = CommandParser::parse("//etc/passwd is a path");
  ASSERT_EQ(slash.kind, Command::Kind::Text);
  EXPECT_EQ(slash.text, "/etc/passwd is a path");
  EXPECT_EQ(CommandParser::parse("   ").kind, Command::Kind::Empty);
  EXPECT_EQ(CommandParser::parse("").kind, Command::Kind::Empty);
}

TEST_F(CommandParserTest, WhoHelpAndQuitNeedNoArguments) {
  EXPECT_EQ(CommandParser::parse("/who").kind, Command::Kind::Who);
  EXPECT_EQ(CommandParser::parse("/help").kind, Command::Kind::Help);
  EXPECT_EQ(CommandParser::parse("/Quit ").kind, Command::Kind::Quit);
}

TEST_F(CommandParserTest, NamesHoldingASeparatorByteAreRefused) {
  std::vector<std::string> names;
  std::string problem;
  EXPECT_FALSE(CommandParser::splitRecipients(std::string("bob\xFF"
                                                          "eve"),
                                              names, &problem));
  EXPECT_FALSE(problem.empty());
  EXPECT_TRUE(names.empty());
  EXPECT_FALSE(CommandParser::splitRecipients(std::string("bob\xFC"), names, &problem));
  EXPECT_FALSE(CommandParser::splitRecipients(",,", names, &problem));
  EXPECT_EQ(problem, "No recipient given.");
}

class ClientArgumentsTest : public ::testing::Test {
 protected:
  bool parse(const std::vector<std::string>& words) {
    return ClientArguments::parse(words, &arguments, &problem);
  }
  ClientArguments arguments;
  std::string problem;
};

TEST_F(ClientArgumentsTest, HostAndPortAreOptional) {
  ASSERT_TRUE(parse({}));
  EXPECT_EQ(arguments.host, "");
  EXPECT_EQ(arguments.port, 5412);
  EXPECT_FALSE(arguments.scripted);
  ASSERT_TRUE(parse({"chat.example", "6000"}));
  EXPECT_EQ(arguments.host, "chat.example");
  EXPECT_EQ(arguments.port, 6000);
}

TEST_F(ClientArgumentsTest, ScriptedModeNeedsBothUserAndRecipients) {
  ASSERT_TRUE(parse({"--user", "al", "--to", "bob,carol", "127.0.0.1"}));
  EXPECT_TRUE(arguments.scripted);
  EXPECT_EQ(arguments.user, "al");
  EXPECT_EQ(arguments.recipients, (std::vector<std::string>{"bob", "carol"}));
  EXPECT_EQ(arguments.host, "127.0.0.1");
  EXPECT_FALSE(parse({"--user", "al"}));
  EXPECT_FALSE(parse({"--to", "bob"}));
  EXPECT_FALSE(parse({"--user"}));
}

TEST_F(ClientArgumentsTest, BadPortsAndExtraWordsAreRefused) {
  for (const auto& words : std::vector<std::vector<std::string>>{
           {"host", "0"}, {"host", "65536"}, {"host", "54x"}, {"a", "1", "b"}, {"--verbose"}}) {
    EXPECT_FALSE(parse(words)) << words.back();
    EXPECT_FALSE(problem.empty());
  }
}

}  // namespace
