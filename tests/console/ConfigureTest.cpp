// The C dialogue of the real binary: every question, every refusal, the questions that are
// skipped, and the new settings reaching the clients of a running service.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ConsoleServer.h"

namespace {

const std::string kComplete = "Configuration Complete.\n";
const std::string kNoAddress = "Enter address for Multicast Group> ";
const std::string kAddressMissing = "No address for Multicast Group has been specified!\n";

std::string security(const std::string& current) {
  return "Enter security level (FREEFORALL, LOGIN, SECURE) [" + current + "]> ";
}
std::string hostCheck(const std::string& current) {
  return "Only accept connections from trusted hosts? (y,n) [" + current + "]> ";
}
std::string serverPort(const std::string& current) {
  return "Enter server port number (1024-65535) [" + current + "]> ";
}
std::string passwdFile(const std::string& current) {
  return "Enter name of user password file [" + current + "]> ";
}
std::string hostsFile(const std::string& current) {
  return "Enter name of trusted hosts file [" + current + "]> ";
}
std::string connectionLog(const std::string& current) {
  return "Enter name of connection log file [" + current + "]> ";
}
std::string errorLog(const std::string& current) {
  return "Enter name of error log file [" + current + "]> ";
}
std::string address(const std::string& current) {
  return "Enter address for Multicast Group [" + current + "]> ";
}
std::string mcastPort(const std::string& current) {
  return "Enter Multicast group port number (1024-65535) [" + current + "]> ";
}
std::string ttl(const std::string& current) {
  return "Enter MulticastTTL (HOST, SUBNET, SITE, REGION, CONTINENT, UNLIMITED) [" + current +
         "]> ";
}
std::string userLimit(const std::string& current) {
  return "Enter user limit (2-25) [" + current + "]> ";
}
std::string invalid(const std::string& answer) { return "Invalid setting: " + answer + "\n"; }
std::string invalidAddress(const std::string& answer) {
  return "Multicast Group address " + answer +
         " is invalid! (Valid range: 224.0.0.0 - 239.255.255.255)\n";
}
std::string invalidLimit(const std::string& answer) {
  return "Invalid setting: " + answer + ".  Range is 2 - 25.\n";
}
std::string enters(int count) { return std::string(static_cast<std::size_t>(count), '\n'); }

class ConfigureTest : public ConsoleServer {
 protected:
  // Types the whole script at a stopped server, ends the input, and returns everything printed
  // after the first menu and prompt.
  std::string runScript(const std::string& script) const {
    return afterFirstPrompt(ConsoleServer::runScript(script));
  }

  const std::string portText = std::to_string(port);
};

TEST_F(ConfigureTest, EnterAtEveryQuestionKeepsEverySetting) {
  configure(
      "security SECURE\nhostcheck TRUE\npasswd pw\nhosts hf\nconnectionlog cl\nerrorlog el\n"
      "mcastaddress 239.1.2.3\nmcastport 5000\nmcast-ttl site\ncapacity 7\n");
  const std::string dialogue = "\n" + security("SECURE") + hostCheck("y") + serverPort(portText) +
                               passwdFile("pw") + hostsFile("hf") + connectionLog("cl") +
                               errorLog("el") + address("239.1.2.3") + mcastPort("5000") +
                               ttl("SITE") + userLimit("7") + kComplete + kStoppedMenu + kPrompt;
  // The second pass shows what the first one left.
  EXPECT_EQ(runScript("C\n" + enters(11) + "C\n" + enters(11) + "Q\n"),
            dialogue + dialogue + "\nExiting.\n");
}

TEST_F(ConfigureTest, TtlQuestionNamesTheCurrentScope) {
  for (const std::string word : {"HOST", "SUBNET", "SITE", "REGION", "CONTINENT", "UNLIMITED"}) {
    configure("mcastaddress 239.1.2.3\nmcast-ttl " + word + "\n");
    const std::string out = runScript("C\n" + enters(9) + "Q\n");
    EXPECT_NE(out.find(mcastPort("4658") + ttl(word) + userLimit("10")), std::string::npos)
        << word << ": " << out;
  }
}

TEST_F(ConfigureTest, AddressQuestionRepeatsWhileNoAddressIsSet) {
  configure("");
  const std::string first = "\n" + security("FREEFORALL") + hostCheck("n") + serverPort(portText) +
                            connectionLog("connectionlog") + errorLog(".servererrors") +
                            kNoAddress + kAddressMissing + kNoAddress + kAddressMissing +
                            kNoAddress + mcastPort("4658") + ttl("REGION") + userLimit("10") +
                            kComplete + kStoppedMenu + kPrompt;
  const std::string second = "\n" + security("FREEFORALL") + hostCheck("n") + serverPort(portText) +
                             connectionLog("connectionlog") + errorLog(".servererrors") +
                             address("239.0.0.1") + mcastPort("4658") + ttl("REGION") +
                             userLimit("10") + kComplete + kStoppedMenu + kPrompt;
  EXPECT_EQ(runScript("C\n" + enters(7) + "239.0.0.1\n" + enters(3) + "C\n" + enters(9) + "Q\n"),
            first + second + "\nExiting.\n");
}

TEST_F(ConfigureTest, LoginAndYesBringUpTheFileQuestionsInTheSamePass) {
  configure("mcastaddress 239.1.2.3\n");
  const std::string dialogue = "\n" + security("FREEFORALL") + hostCheck("n") +
                               serverPort(portText) + passwdFile("passwd") + hostsFile("hosts") +
                               connectionLog("connectionlog") + errorLog(".servererrors") +
                               address("239.1.2.3") + mcastPort("4658") + ttl("REGION") +
                               userLimit("10") + kComplete + kStoppedMenu + kPrompt;
  const std::string again = "\n" + security("LOGIN") + hostCheck("y") + serverPort(portText) +
                            passwdFile("passwd") + hostsFile("hosts") +
                            connectionLog("connectionlog") + errorLog(".servererrors") +
                            address("239.1.2.3") + mcastPort("4658") + ttl("REGION") +
                            userLimit("10") + kComplete + kStoppedMenu + kPrompt;
  EXPECT_EQ(runScript("C\nlogin\nY\n" + enters(9) + "C\n" + enters(11) + "Q\n"),
            dialogue + again + "\nExiting.\n");
}

TEST_F(ConfigureTest, FreeForAllAndNoSkipTheFileQuestions) {
  configure("mcastaddress 239.1.2.3\nsecurity secure\nhostcheck true\n");
  const std::string dialogue = "\n" + security("SECURE") + hostCheck("y") + serverPort(portText) +
                               connectionLog("connectionlog") + errorLog(".servererrors") +
                               address("239.1.2.3") + mcastPort("4658") + ttl("REGION") +
                               userLimit("10") + kComplete + kStoppedMenu + kPrompt;
  const std::string again = "\n" + security("FREEFORALL") + hostCheck("n") + serverPort(portText) +
                            connectionLog("connectionlog") + errorLog(".servererrors") +
                            address("239.1.2.3") + mcastPort("4658") + ttl("REGION") +
                            userLimit("10") + kComplete + kStoppedMenu + kPrompt;
  EXPECT_EQ(runScript("C\nFreeForAll\nn\n" + enters(7) + "C\n" + enters(9) + "Q\n"),
            dialogue + again + "\nExiting.\n");
}

TEST_F(ConfigureTest, RejectedAnswersAreNamedAndAskedAgain) {
  configure("mcastaddress 239.1.2.3\n");
  const std::string script =
      "C\n"
      "bogus\nsecure\n"
      "yes\nN\n"
      "1023\n65536\nport\n1024\n"
      "\n\n\n"
      "192.168.1.1\n223.255.255.255\n240.0.0.0\nno-such-host.invalid\n239.000.000.0001\n"
      "239.255.255.255\n"
      "1023\n65536\n65535\n"
      "7\ngalaxy\ncontinent\n"
      "1\n26\nlots\n25\n"
      // The other ends of the ranges, then a pass that shows what was kept.
      "C\n\n\n\n\n\n\n224.0.0.0\n1024\n\n2\n"
      "C\n" +
      enters(10) + "Q\n";
  const std::string first =
      "\n" + security("FREEFORALL") + invalid("bogus") + security("FREEFORALL") + hostCheck("n") +
      invalid("yes") + hostCheck("n") + serverPort(portText) + invalid("1023") +
      serverPort(portText) + invalid("65536") + serverPort(portText) + invalid("port") +
      serverPort(portText) + passwdFile("passwd") + connectionLog("connectionlog") +
      errorLog(".servererrors") + address("239.1.2.3") + invalidAddress("192.168.1.1") +
      address("239.1.2.3") + invalidAddress("223.255.255.255") + address("239.1.2.3") +
      invalidAddress("240.0.0.0") + address("239.1.2.3") +
      "Hostname no-such-host.invalid could not be resolved!\n" + address("239.1.2.3") +
      invalidAddress("239.000.000.0001") + address("239.1.2.3") + mcastPort("4658") +
      invalid("1023") + mcastPort("4658") + invalid("65536") + mcastPort("4658") + ttl("REGION") +
      invalid("7") + ttl("REGION") + invalid("galaxy") + ttl("REGION") + userLimit("10") +
      invalidLimit("1") + userLimit("10") + invalidLimit("26") + userLimit("10") +
      invalidLimit("lots") + userLimit("10") + kComplete + kStoppedMenu + kPrompt;
  const std::string second =
      "\n" + security("SECURE") + hostCheck("n") + serverPort("1024") + passwdFile("passwd") +
      connectionLog("connectionlog") + errorLog(".servererrors") + address("239.255.255.255") +
      mcastPort("65535") + ttl("CONTINENT") + userLimit("25") + kComplete + kStoppedMenu + kPrompt;
  const std::string third = "\n" + security("SECURE") + hostCheck("n") + serverPort("1024") +
                            passwdFile("passwd") + connectionLog("connectionlog") +
                            errorLog(".servererrors") + address("224.0.0.0") + mcastPort("1024") +
                            ttl("CONTINENT") + userLimit("2") + kComplete + kStoppedMenu + kPrompt;
  EXPECT_EQ(runScript(script), first + second + third + "\nExiting.\n");
}

TEST_F(ConfigureTest, MulticastAddressMustStandAloneAndLinesOfSpacesKeepValues) {
  configure("mcastaddress 239.1.2.3\nsecurity login\n");
  // The address conversion stops at white space: the trailing text went to every client.
  const std::string out = runScript("C\n  \n \t \n  \n  \n  \n  \n239.9.9.9 junk\n  239.9.9.9  \n" +
                                    std::string("  \n  \n  \nC\n") + enters(10) + "Q\n");
  EXPECT_EQ(out.find("Invalid setting"), std::string::npos) << out;
  EXPECT_NE(out.find(address("239.1.2.3") + invalidAddress("239.9.9.9 junk") +
                     address("239.1.2.3") + mcastPort("4658")),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\n" + security("LOGIN") + hostCheck("n") + serverPort(portText) +
                     passwdFile("passwd") + connectionLog("connectionlog") +
                     errorLog(".servererrors") + address("239.9.9.9") + mcastPort("4658") +
                     ttl("REGION") + userLimit("10")),
            std::string::npos)
      << out;
}

TEST_F(ConfigureTest, AnUnknownSecurityWordLeavesNoLevelUntilTheOperatorChoosesOne) {
  configure("mcastaddress 239.1.2.3\nsecurity LOGN\n");
  dir.write("passwd", "carol:pw:Carol\n");
  const std::string warning =
      "\n\tUnknown security setting 'LOGN' (line 4 of .serverrc): no level is in force";
  auto server = launch();
  // Reported as the file is read, before the first menu.
  EXPECT_EQ(server->output().rfind("Warnings:" + warning + "\n" + kStoppedMenu, 0), 0u)
      << server->output();
  const std::string diagnostics = command(*server, "D\n");
  EXPECT_NE(diagnostics.find("Errors encountered:\n\tInvalid security setting (Must be "
                             "FREEFORALL, LOGIN, SECURE)\nWarnings:" + warning + "\n"),
            std::string::npos)
      << diagnostics;
  EXPECT_NE(diagnostics.find("Diagnostics Complete: Errors found."), std::string::npos);
  EXPECT_NE(command(*server, "S\n").find("Server not started."), std::string::npos);
  // Enter keeps no level: only a level the operator names is taken.
  std::string out = command(*server, "C\n" + enters(10));
  EXPECT_EQ(out.rfind("\n" + security("none") + hostCheck("n") + serverPort(portText), 0), 0u)
      << out;
  EXPECT_NE(command(*server, "S\n").find("Server not started."), std::string::npos);
  out = command(*server, "C\nlogin\n" + enters(9));
  EXPECT_NE(out.find(kComplete), std::string::npos) << out;
  // The file's line is still reported, now with the level in force.
  EXPECT_NE(command(*server, "D\n").find("(line 4 of .serverrc): the value in force is LOGIN"),
            std::string::npos);
  EXPECT_NE(command(*server, "S\n").find("\n" + startedText()), std::string::npos);
  EXPECT_TRUE(login("carol", "pw"));
  quit(*server);
}

TEST_F(ConfigureTest, NumbersBeyondSixtyFourBitsAreOutOfRange) {
  configure("mcastaddress 239.1.2.3\n");
  // 2^64 + 1024 and 2^64 + 5 must not wrap around into the ranges; leading zeros are harmless.
  const std::string script =
      "C\n\n\n18446744073709552640\n000000000000000000000001025\n\n\n\n"
      "18446744073709552640\n\n\n18446744073709551621\n\nC\n" +
      enters(9) + "Q\n";
  const std::string first =
      "\n" + security("FREEFORALL") + hostCheck("n") + serverPort(portText) +
      invalid("18446744073709552640") + serverPort(portText) + connectionLog("connectionlog") +
      errorLog(".servererrors") + address("239.1.2.3") + mcastPort("4658") +
      invalid("18446744073709552640") + mcastPort("4658") + ttl("REGION") + userLimit("10") +
      invalidLimit("18446744073709551621") + userLimit("10") + kComplete + kStoppedMenu + kPrompt;
  const std::string second = "\n" + security("FREEFORALL") + hostCheck("n") + serverPort("1025") +
                             connectionLog("connectionlog") + errorLog(".servererrors") +
                             address("239.1.2.3") + mcastPort("4658") + ttl("REGION") +
                             userLimit("10") + kComplete + kStoppedMenu + kPrompt;
  EXPECT_EQ(runScript(script), first + second + "\nExiting.\n");
}

TEST_F(ConfigureTest, OverlongAnswersAreRefusedWholeAndTheirRestIsDropped) {
  configure("mcastaddress 239.1.2.3\n");
  const std::string longWord(300, 'x');
  const std::string longestName(259, 'c');
  const std::string tooLongName(260, 'e');
  const std::string script = "C\n" + longWord + "\n\n\n\n" + longestName + "\n" + tooLongName +
                             "\n\n" + enters(4) + "C\n" + enters(9) + "Q\n";
  const std::string first = "\n" + security("FREEFORALL") + invalid(longWord.substr(0, 255)) +
                            security("FREEFORALL") + hostCheck("n") + serverPort(portText) +
                            connectionLog("connectionlog") + errorLog(".servererrors") +
                            invalid(tooLongName.substr(0, 259)) + errorLog(".servererrors") +
                            address("239.1.2.3") + mcastPort("4658") + ttl("REGION") +
                            userLimit("10") + kComplete + kStoppedMenu + kPrompt;
  const std::string second = "\n" + security("FREEFORALL") + hostCheck("n") + serverPort(portText) +
                             connectionLog(longestName) + errorLog(".servererrors") +
                             address("239.1.2.3") + mcastPort("4658") + ttl("REGION") +
                             userLimit("10") + kComplete + kStoppedMenu + kPrompt;
  EXPECT_EQ(runScript(script), first + second + "\nExiting.\n");
}

TEST_F(ConfigureTest, HostNameOutsideTheRangeIsTakenAndLeftToTheDiagnostics) {
  configure("mcastaddress 239.1.2.3\n");
  const std::string out = runScript("C\n" + enters(5) + "localhost\n" + enters(3) + "C\n" +
                                    enters(5) + "\n" + enters(3) + "D\nQ\n");
  EXPECT_EQ(occurrences(out, address("127.0.0.1")), 1) << out;
  EXPECT_NE(out.find("\tMulticast Group address 127.0.0.1 is invalid! (Valid range: 224.0.0.0 - "
                     "239.255.255.255)\nDiagnostics Complete: Errors found.\n"),
            std::string::npos)
      << out;
}

TEST_F(ConfigureTest, FileNamesAreTakenWholeWithTheirSpaces) {
  configure("mcastaddress 239.1.2.3\nsecurity login\nhostcheck true\n");
  // The error log named here receives the next error at once.
  const std::string out = runScript("C\n\n\n\nmy passwd\nmy hosts\nmy connections\nmy errors\n" +
                                    enters(4) + "C\n" + enters(11) + "T\nghost\nQ\n");
  EXPECT_NE(
      out.find("\n" + security("LOGIN") + hostCheck("y") + serverPort(portText) +
               passwdFile("my passwd") + hostsFile("my hosts") + connectionLog("my connections") +
               errorLog("my errors") + address("239.1.2.3")),
      std::string::npos)
      << out;
  EXPECT_NE(dir.read("my errors").find("ERROR: Internal Error: Could not terminate user ghost"),
            std::string::npos);
  EXPECT_FALSE(dir.exists(".servererrors"));
}

TEST_F(ConfigureTest, NoUserLimitQuestionWhileRunning) {
  configure("mcastaddress 239.1.2.3\n");
  auto server = launchRunning();
  EXPECT_EQ(command(*server, "C\n" + enters(8)),
            "\n" + security("FREEFORALL") + hostCheck("n") + serverPort(portText) +
                connectionLog("connectionlog") + errorLog(".servererrors") + address("239.1.2.3") +
                mcastPort("4658") + ttl("REGION") + kComplete + kRunningMenu + kPrompt);
  quit(*server);
}

TEST_F(ConfigureTest, NewSettingsReachTheNextClientAndTheNewPortTheNextStart) {
  configure("mcastaddress 239.1.2.3\n");
  dir.write("passwd", "carol:pw:Carol\n");
  const std::uint16_t nextPort = freeLoopbackPort();
  ASSERT_NE(nextPort, 0);
  ASSERT_NE(nextPort, port);
  auto server = launchRunning();

  std::vector<std::string> seen;
  auto before = login("alice", "", &seen);
  ASSERT_TRUE(before);
  EXPECT_EQ(seen[1], "LEVL:1");
  EXPECT_EQ(seen[seen.size() - 2],
            "MCST:239.1.2.3\xFF"
            "4658\xFF"
            "64");

  const std::string out = command(
      *server, "C\nLOGIN\n\n" + std::to_string(nextPort) + "\n\n\n\n239.9.9.9\n6000\nhost\n");
  EXPECT_NE(out.find(kComplete + kRunningMenu + kPrompt), std::string::npos) << out;

  // The open listener keeps its port; the next client meets the new level and group.
  seen.clear();
  auto after = login("carol", "pw", &seen);
  ASSERT_TRUE(after);
  EXPECT_EQ(seen[1], "LEVL:2");
  EXPECT_EQ(seen[seen.size() - 2],
            "MCST:239.9.9.9\xFF"
            "6000\xFF"
            "0");
  // The one logged in before keeps what it was told.
  EXPECT_EQ(before->next().rfind("USER:carol", 0), 0u);

  EXPECT_EQ(command(*server, "P\n"), "\nServer Stopped.\n" + kStoppedMenu + kPrompt);
  EXPECT_EQ(command(*server, "S\n"), "\n" + startedText(nextPort) + kRunningMenu + kPrompt);
  seen.clear();
  EXPECT_TRUE(login("carol", "pw", &seen, nextPort));
  quit(*server);
}

TEST_F(ConfigureTest, EndOfInputInTheDialogueEndsTheProgram) {
  configure("mcastaddress 239.1.2.3\n");
  std::string out = runScript("C\nlogin\n");
  EXPECT_EQ(out, "\n" + security("FREEFORALL") + hostCheck("n") + "Exiting.\n");

  // Even at the one question that refuses an empty answer.
  configure("");
  out = runScript("C\n" + enters(6));
  EXPECT_EQ(out, "\n" + security("FREEFORALL") + hostCheck("n") + serverPort(portText) +
                     connectionLog("connectionlog") + errorLog(".servererrors") + kNoAddress +
                     kAddressMissing + kNoAddress + "Exiting.\n");
}

TEST_F(ConfigureTest, EndOfInputInTheDialogueStopsARunningService) {
  configure("mcastaddress 239.1.2.3\n");
  auto server = launchRunning();
  auto alice = login("alice");
  ASSERT_TRUE(alice);
  const std::size_t mark = server->output().size();
  server->write("C\n\n");
  ASSERT_TRUE(server->waitFor(hostCheck("n")));
  server->closeInput();
  EXPECT_EQ(server->waitExit(), 0);
  EXPECT_EQ(server->outputSince(mark),
            "\n" + security("FREEFORALL") + hostCheck("n") + "Exiting.\nServer Stopped.\n");
  EXPECT_EQ(alice->next(), "MESS:The server is shutting down!");
  EXPECT_EQ(alice->next(), "QUIT");
}

}  // namespace
