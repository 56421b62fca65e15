// The configuration file: keys and keyword values in any case, words split at spaces only,
// 255-character pieces, numbers as the C library reads them, and a missing file reported.
#include <gtest/gtest.h>

#include <string>

#include "core/Server.h"
#include "platform/Network.h"
#include "TempDir.h"

namespace {

int occurrences(const std::string& text, const std::string& part) {
  int found = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++found;
  }
  return found;
}

class ConfigFileTest : public ::testing::Test {
 protected:
  // Writes the file and reads it into the server.
  Bool16 load(const std::string& content) {
    dir.write(".serverrc", content);
    testing::internal::CaptureStdout();
    Bool16 result = server.readConfigFile(".serverrc");
    console = testing::internal::GetCapturedStdout();
    return result;
  }

  std::string passwd() {
    char buffer[PATH_TEXT_SIZE];
    return server.getPasswdFile(buffer, sizeof buffer);
  }

  std::string mcast() {
    char buffer[16];
    return server.getMcastAddress(buffer, sizeof buffer);
  }

  TempDir dir;
  Server server{10};
  std::string console;
};

TEST_F(ConfigFileTest, MissingFileIsReportedAndLoggedAndDefaultsStay) {
  testing::internal::CaptureStdout();
  EXPECT_FALSE(server.readConfigFile(".serverrc"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Internal Error: File .serverrc not found.\n");
  std::string log = dir.read(".servererrors");
  EXPECT_EQ(log.rfind("ERROR: Internal Error: File .serverrc not found.\tAT: ", 0), 0u) << log;
  EXPECT_EQ(server.listener.localPort, 5412);
  EXPECT_EQ(server.securityLevel, FREEFORALL);
  EXPECT_EQ(server.capacity, 10);
}

TEST_F(ConfigFileTest, EmptyOrUnrecognisedFileChangesNothing) {
  EXPECT_TRUE(load(""));
  EXPECT_EQ(console, "");
  EXPECT_TRUE(server.configProblems.empty());
  EXPECT_TRUE(load("# port 6000\nnothing here\n\n   \nport\n"));
  EXPECT_EQ(server.listener.localPort, 5412);
  EXPECT_EQ(server.mcastPort, 4658);
  EXPECT_EQ(server.mcastTtl, REGION);
  EXPECT_EQ(mcast(), "");
  // A comment and blank lines are no problem; an unknown key and a key alone are.
  EXPECT_EQ(console,
            "Warnings:"
            "\n\tUnknown setting 'nothing' (line 2 of .serverrc): ignored"
            "\n\tEmpty port setting (line 5 of .serverrc): the value in force is 5412\n");
}

TEST_F(ConfigFileTest, AppliesEveryKey) {
  EXPECT_TRUE(load(
      "port 6001\nsecurity LOGIN\nhostcheck TRUE\npasswd users.txt\nhosts trusted.txt\n"
      "connectionlog conn.log\nerrorlog err.log\nmcastaddress 239.1.2.3\nmcastport 5000\n"
      "mcast-ttl SITE\ncapacity 4\n"));
  char buffer[PATH_TEXT_SIZE];
  EXPECT_EQ(server.listener.localPort, 6001);
  EXPECT_EQ(server.securityLevel, LOGIN);
  EXPECT_TRUE(server.hostCheck);
  EXPECT_EQ(passwd(), "users.txt");
  EXPECT_STREQ(server.getHostsFile(buffer, sizeof buffer), "trusted.txt");
  EXPECT_STREQ(server.getConnectionLogFile(buffer, sizeof buffer), "conn.log");
  EXPECT_STREQ(server.getErrorLogFile(buffer, sizeof buffer), "err.log");
  EXPECT_EQ(mcast(), "239.1.2.3");
  EXPECT_EQ(server.mcastPort, 5000);
  EXPECT_EQ(server.mcastTtl, SITE);
  EXPECT_EQ(server.capacity, 4);
}

TEST_F(ConfigFileTest, KeysAndKeywordsMatchInAnyCase) {
  EXPECT_TRUE(load("PORT 7000\nSecurity secure\nHOSTCHECK true\nMcast-TTL unlimited\n"));
  EXPECT_EQ(server.listener.localPort, 7000);
  EXPECT_EQ(server.securityLevel, SECURE);
  EXPECT_TRUE(server.hostCheck);
  EXPECT_EQ(server.mcastTtl, UNLIMITED);
}

TEST_F(ConfigFileTest, KeywordValuesFallBackToTheirDefaultWordButSecurityToNone) {
  EXPECT_TRUE(load("security LOGIN\nsecurity whatever\nhostcheck TRUE\nhostcheck yes\n"
                   "mcast-ttl HOST\nmcast-ttl 7\n"));
  EXPECT_EQ(server.securityLevel, SECURITY_UNSET);
  EXPECT_FALSE(server.hostCheck);
  EXPECT_EQ(server.mcastTtl, REGION);
  EXPECT_TRUE(load("mcast-ttl subnet\nmcast-ttl REGION\n"));
  EXPECT_EQ(server.mcastTtl, REGION);
  for (const char* word : {"1", "on", "FALSE"}) {
    EXPECT_TRUE(load("hostcheck TRUE\nhostcheck " + std::string(word) + "\n"));
    EXPECT_FALSE(server.hostCheck) << word;
  }
}

TEST_F(ConfigFileTest, KeyWithoutValueChangesNothing) {
  EXPECT_TRUE(load("security LOGIN\nsecurity\nsecurity   \nport\n"));
  EXPECT_EQ(server.securityLevel, LOGIN);
}

TEST_F(ConfigFileTest, WordsSplitAtSpacesOnlyNotTabs) {
  EXPECT_TRUE(load("port\t6000\n   port    6002   extra words\npasswd first second\n"));
  EXPECT_EQ(server.listener.localPort, 6002);
  EXPECT_EQ(passwd(), "first");
  EXPECT_TRUE(load("passwd with\ttab\n"));
  EXPECT_EQ(passwd(), "with\ttab");
}

TEST_F(ConfigFileTest, LaterLinesOverrideEarlierOnes) {
  EXPECT_TRUE(load("port 6000\ncapacity 3\nport 6005\ncapacity 7\n"));
  EXPECT_EQ(server.listener.localPort, 6005);
  EXPECT_EQ(server.capacity, 7);
}

TEST_F(ConfigFileTest, NumbersAreReadLikeTheCLibrary) {
  EXPECT_TRUE(load("port 70000\nmcastport 1234abc\ncapacity 0\n"));
  EXPECT_EQ(server.listener.localPort, 70000 & 0xFFFF);
  EXPECT_EQ(server.mcastPort, 1234);
  EXPECT_EQ(server.capacity, 0);
  EXPECT_TRUE(load("port abc\ncapacity -3\nmcastport +1500\n"));
  EXPECT_EQ(server.listener.localPort, 0);
  EXPECT_EQ(server.capacity, -3);
  EXPECT_EQ(server.mcastPort, 1500);
  EXPECT_TRUE(load("port 66560\n"));  // low 16 bits are 1024
  EXPECT_EQ(server.listener.localPort, 1024);
  EXPECT_TRUE(load("capacity 99999999999\n"));
  EXPECT_EQ(server.capacity, INT32_MAX);
}

TEST_F(ConfigFileTest, LongLineIsReadAsTwoLines) {
  // 255 characters of the first piece end in the middle of a passwd value; the rest of the line
  // is a line of its own, here a port setting.
  std::string first = "passwd " + std::string(248, 'p');
  ASSERT_EQ(first.size(), 255u);
  EXPECT_TRUE(load(first + "port 6100      " + std::string(30, ' ') + "\n"));
  EXPECT_EQ(passwd(), std::string(248, 'p'));
  EXPECT_EQ(server.listener.localPort, 6100);
}

TEST_F(ConfigFileTest, LineOfExactly255CharactersIsOneLine) {
  std::string line = "passwd " + std::string(248, 'q');
  EXPECT_TRUE(load(line + "\nport 6200\n"));
  EXPECT_EQ(passwd(), std::string(248, 'q'));
  EXPECT_EQ(server.listener.localPort, 6200);
}

TEST_F(ConfigFileTest, WindowsLineEndsReadTheSame) {
  EXPECT_TRUE(load("hostcheck TRUE\r\nsecurity LOGIN\r\npasswd users\r\nmcastaddress 239.9.9.9\r\n"));
  EXPECT_TRUE(server.hostCheck);
  EXPECT_EQ(server.securityLevel, LOGIN);
  EXPECT_EQ(passwd(), "users");
  EXPECT_EQ(mcast(), "239.9.9.9");
}

TEST_F(ConfigFileTest, MulticastAddressIsTakenUncheckedOrResolved) {
  EXPECT_TRUE(load("mcastaddress 300.1.1.1\n"));
  EXPECT_EQ(mcast(), "300.1.1.1");
  EXPECT_TRUE(load("mcastaddress localhost\n"));
  EXPECT_EQ(mcast(), "127.0.0.1");
  EXPECT_TRUE(load("mcastaddress no-such-host.invalid\n"));
  EXPECT_EQ(mcast(), "");
  EXPECT_EQ(console, "Internal Error: Hostname no-such-host.invalid not valid\n");
  EXPECT_EQ(dir.read(".servererrors"), "");  // printed only
}

TEST_F(ConfigFileTest, OverlongMulticastAddressIsRefusedAndTheOldOneKept) {
  EXPECT_TRUE(load("mcastaddress 239.1.1.1\nmcastaddress 239.001.001.0001\n"));
  EXPECT_EQ(mcast(), "239.1.1.1");
  EXPECT_NE(console.find("239.001.001.0001"), std::string::npos);
  EXPECT_NE(dir.read(".servererrors").find("239.001.001.0001"), std::string::npos);
}

// --- the file's problems: reported when it is read, kept for the diagnostics

TEST_F(ConfigFileTest, EachProblemNamesTheWordItsLineTheFileAndTheValueInForce) {
  EXPECT_TRUE(load("prot 6000\n"
                   "port 99999\n"
                   "security LOGN\n"
                   "capacity ten\n"
                   "hostcheck yes\n"
                   "mcast-ttl FAR\n"
                   "listen 10.1\n"
                   "mcastport\n"
                   "logintimeout -5\n"));
  const std::string problems =
      "\n\tUnknown setting 'prot' (line 1 of .serverrc): ignored"
      "\n\tOut-of-range port setting '99999' (line 2 of .serverrc, range 1024 - 65535): the "
      "value in force is 34463"
      "\n\tUnknown security setting 'LOGN' (line 3 of .serverrc): no level is in force"
      "\n\tNon-numeric capacity setting 'ten' (line 4 of .serverrc): the value in force is 0"
      "\n\tUnknown hostcheck setting 'yes' (line 5 of .serverrc): the value in force is FALSE"
      "\n\tUnknown mcast-ttl setting 'FAR' (line 6 of .serverrc): the value in force is REGION"
      "\n\tInvalid listen setting '10.1' (line 7 of .serverrc, not an IPv4 address): the value "
      "in force is " +
      std::string(server.listener.localAddress[0] != '\0' ? server.listener.localAddress
                                                          : "0.0.0.0") +
      "\n\tEmpty mcastport setting (line 8 of .serverrc): the value in force is 4658"
      "\n\tOut-of-range logintimeout setting '-5' (line 9 of .serverrc, range 0 - 2147483647): "
      "the value in force is 0";
  EXPECT_EQ(console, "Warnings:" + problems + "\n");
  EXPECT_EQ(server.configProblems.total(), 9u);
  EXPECT_EQ(server.describeConfigProblems(), problems);
  // The values are applied as they read, but for security, which fails closed.
  EXPECT_EQ(server.listener.localPort, 99999 & 0xFFFF);
  EXPECT_EQ(server.securityLevel, SECURITY_UNSET);
  EXPECT_EQ(server.capacity, 0);
  EXPECT_FALSE(server.hostCheck);
  EXPECT_EQ(server.mcastTtl, REGION);
  // Reported again later with the value in force then: the operator chose a level at C.
  server.securityLevel = LOGIN;
  EXPECT_NE(server.describeConfigProblems().find(
                "\n\tUnknown security setting 'LOGN' (line 3 of .serverrc): the value in force "
                "is LOGIN\n"),
            std::string::npos);
}

TEST_F(ConfigFileTest, MaxPerHostIsReadAndAnOutOfRangeOneIsHeldToTheCapacityLimit) {
  EXPECT_EQ(server.maxPerHost, 0);  // no limit unless the file sets one
  EXPECT_TRUE(load("maxperhost 3\n"));
  EXPECT_EQ(server.maxPerHost, 3);
  EXPECT_TRUE(load("messagerate 50\nmessageburst 10\n"));
  EXPECT_EQ(server.messageRate, 50);
  EXPECT_EQ(server.messageBurst, 10);
  EXPECT_TRUE(load("maxperhost 5000\n"));
  EXPECT_EQ(server.maxPerHost, 1000);
  EXPECT_EQ(server.describeConfigProblems(),
            "\n\tOut-of-range maxperhost setting '5000' (line 1 of .serverrc, range 0 - 1000): the "
            "value in force is 1000");
}

TEST_F(ConfigFileTest, PasswordHashTakesItsWordsAndAnUnknownOneChangesNothing) {
  EXPECT_EQ(server.passwordStorage, CLEAR_PASSWORDS);
  EXPECT_TRUE(load("passwordhash SHA512\n"));
  EXPECT_EQ(server.passwordStorage, SHA512);
  // A typo must not turn hashing off.
  EXPECT_TRUE(load("passwordhash yescrypt\npasswordhash bcrypt\n"));
  EXPECT_EQ(server.passwordStorage, YESCRYPT);
  EXPECT_EQ(server.describeConfigProblems(),
            "\n\tUnknown passwordhash setting 'bcrypt' (line 2 of .serverrc): the value in force "
            "is yescrypt");
  EXPECT_TRUE(load("passwordhash none\n"));
  EXPECT_EQ(server.passwordStorage, CLEAR_PASSWORDS);
}

TEST_F(ConfigFileTest, ALaterLineSetsTheValueButTheBadLineIsStillReported) {
  EXPECT_TRUE(load("security LOGN\nsecurity SECURE\n"));
  EXPECT_EQ(server.securityLevel, SECURE);
  EXPECT_EQ(server.describeConfigProblems(),
            "\n\tUnknown security setting 'LOGN' (line 1 of .serverrc): the value in force is "
            "SECURE");
  // A new reading starts a new list.
  EXPECT_TRUE(load("security LOGIN\n"));
  EXPECT_TRUE(server.configProblems.empty());
  EXPECT_EQ(console, "");
}

TEST_F(ConfigFileTest, LineNumbersCountTheFilesLinesNotTheReadersPieces) {
  // Line 1 comes in two pieces (the second one an unknown key), CR LF ends line 2.
  const std::string first = "passwd " + std::string(248, 'p') + "xyz 1";
  EXPECT_TRUE(load(first + "\ncapacity x\r\n\ncapacity y\n"));
  EXPECT_EQ(server.describeConfigProblems(),
            "\n\tUnknown setting 'xyz' (line 1 of .serverrc): ignored"
            "\n\tNon-numeric capacity setting 'x' (line 2 of .serverrc): the value in force is 0"
            "\n\tNon-numeric capacity setting 'y' (line 4 of .serverrc): the value in force is 0");
}

TEST_F(ConfigFileTest, QuotedWordsAreCutAndMadePrintable) {
  EXPECT_TRUE(load("security \x1b[2J\x7f\xc3\xa9\n" + std::string(200, 'k') + " 1\n"));
  const std::string report = server.describeConfigProblems();
  EXPECT_NE(report.find("'?[2J" + std::string(3, '?') + "'"), std::string::npos) << report;
  EXPECT_NE(report.find("'" + std::string(ConfigProblems::kWordLength, 'k') + "...'"),
            std::string::npos)
      << report;
  EXPECT_EQ(report.find('\x1b'), std::string::npos);
}

TEST_F(ConfigFileTest, AMillionBadLinesKeepAHundredAndCountTheRest) {
  std::string content;
  for (int i = 0; i < 1000; ++i) content += "bogus 1\n";
  EXPECT_TRUE(load(content + "port 6001\n"));
  EXPECT_EQ(server.listener.localPort, 6001);
  EXPECT_EQ(server.configProblems.entries().size(), ConfigProblems::kMostKept);
  EXPECT_EQ(server.configProblems.total(), 1000u);
  const std::string report = server.describeConfigProblems();
  EXPECT_EQ(occurrences(report, "\n\t"), 101);
  EXPECT_NE(report.find("\n\t... and 900 more problems in .serverrc (only the first 100 are "
                        "kept)"),
            std::string::npos)
      << report;
}

TEST_F(ConfigFileTest, ListenIsTheAddressToListenOnAndTheServersOwn) {
  EXPECT_TRUE(load("listen 127.0.0.1\n"));
  EXPECT_STREQ(server.listener.localAddress, "127.0.0.1");
  EXPECT_EQ(server.hostAddress, convertAddress("127.0.0.1"));
  // A bad address changes nothing.
  EXPECT_TRUE(load("listen 127.0.0.1\nlisten 127.1\n"));
  EXPECT_STREQ(server.listener.localAddress, "127.0.0.1");
  EXPECT_EQ(server.configProblems.total(), 1u);
}

TEST(ServerSettersTest, SettersCopyAndGettersBoundTheirOutput) {
  TempDir dir;
  Server server(10);
  std::string path = "some/path/to/passwd";
  server.setPasswdFile(path.c_str());
  path[0] = 'X';  // the server keeps its own copy
  char small[5];
  EXPECT_STREQ(server.getPasswdFile(small, sizeof small), "some");
  server.setMcastAddress("239.123.123.123extra");
  char address[16];
  EXPECT_STREQ(server.getMcastAddress(address, sizeof address), "239.123.123.123");
  char tiny[4];
  EXPECT_STREQ(server.getMcastAddress(tiny, sizeof tiny), "239");
}

}  // namespace
