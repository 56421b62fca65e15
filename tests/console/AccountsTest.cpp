// The U and H commands of the real binary: their questions and refusals, what they append,
// the password kept off a real terminal's screen, and new accounts and hosts in force at once.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "ConsoleServer.h"
#include "platform/PasswordHash.h"

namespace {

const std::string kName = "Enter user name> ";
// On a pipe the hidden entry still ends with the line feed that Enter would not have shown.
const std::string kPassword = "Enter password> \n";
const std::string kConfirm = "Confirm password> \n";
const std::string kFullName = "Enter full name for user> ";
const std::string kHost = "Enter address of trusted host> ";
const std::string kNameTooLong = "User name must be 8 characters or less.\n";
const std::string kNameSpaceOrColon = "User name can not contain spaces or colons.\n";
const std::string kPasswordSpaceOrColon = "Password can not contain spaces or colons.\n";
const std::string kPasswordTooLong = "Password must be 8 characters or less.\n";
const std::string kMismatch = "Passwords do not match.\n";

class AccountsTest : public ConsoleServer {
 protected:
  void SetUp() override {
    ConsoleServer::SetUp();
    configure("");
    dir.write("passwd", "root:x:Root\n");
    dir.write("hosts", "10.0.0.1\n");
  }

  void configure(const std::string& lines) const {
    ConsoleServer::configure("mcastaddress 239.1.2.3\n" + lines);
  }

  // Types the script at a stopped server, then Q; returns what the commands printed, between
  // the first command prompt and the last.
  std::string runCommands(const std::string& script) const {
    const std::string out = afterFirstPrompt(runScript(script + "Q\n"));
    const std::string tail = kStoppedMenu + kPrompt + "\nExiting.\n";
    EXPECT_GE(out.size(), tail.size()) << out;
    if (out.size() < tail.size()) return out;
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << out;
    return out.substr(0, out.size() - tail.size());
  }
};

TEST_F(AccountsTest, BadUserNamesAreAskedAgainThenTheRecordIsAppended) {
  EXPECT_EQ(runCommands("U\n\nabcdefghi\na b:c d\nabcdefgh\npw\npw\nFull Name: Jr.\n"),
            "\n" + kName + kName + kNameTooLong + kName + kNameSpaceOrColon + kNameSpaceOrColon +
                kNameSpaceOrColon + kName + kPassword + kConfirm + kFullName +
                "Added user: abcdefgh.\n");
  EXPECT_EQ(dir.read("passwd"), "root:x:Root\nabcdefgh:pw:Full Name: Jr.\n");
}

TEST_F(AccountsTest, BadPasswordsAreAskedAgainFromTheFirstEntry) {
  EXPECT_EQ(runCommands("U\nbob\n"
                        "a b:\n"
                        "123456789\n"
                        "good\nbad\n"
                        "12345678\n123456789\n"
                        "12345678\n12345678\n"
                        "Bob\n"),
            "\n" + kName + kPassword + kPasswordSpaceOrColon + kPasswordSpaceOrColon + kPassword +
                kPasswordTooLong + kPassword + kConfirm + kMismatch + kPassword + kConfirm +
                kMismatch + kPassword + kConfirm + kFullName + "Added user: bob.\n");
  // Nothing was cut: the password stored is the one typed twice.
  EXPECT_EQ(dir.read("passwd"), "root:x:Root\nbob:12345678:Bob\n");
}

TEST_F(AccountsTest, EmptyPasswordIsAskedAgainAndAnEmptyFullNameIsStoredEmpty) {
  // An empty password would be no field at all: "eve::Eve Smith" reads "Eve Smith" as it.
  EXPECT_EQ(runCommands("U\neve\n\nx\nx\n\n"),
            "\n" + kName + kPassword + "Password must not be empty.\n" + kPassword + kConfirm +
                kFullName + "Added user: eve.\n");
  EXPECT_EQ(dir.read("passwd"), "root:x:Root\neve:x:\n");
}

TEST_F(AccountsTest, MissingFilesAreCreatedByTheFirstUserAndHost) {
  std::filesystem::remove(dir.path() / "passwd");
  std::filesystem::remove(dir.path() / "hosts");
  EXPECT_EQ(runCommands("U\nbob\npw\npw\nBob\nH\n  \n10.0.0.2\n"),
            "\n" + kName + kPassword + kConfirm + kFullName +
                "Created password file passwd.\nAdded user: bob.\n" + kStoppedMenu + kPrompt +
                "\n" + kHost + kHost + "Created hosts file hosts.\nAdded host: 10.0.0.2.\n");
  EXPECT_EQ(dir.read("passwd"), "bob:pw:Bob\n");
  EXPECT_EQ(dir.read("hosts"), "10.0.0.2\n");
}

TEST_F(AccountsTest, FullNameThatWouldOverflowTheRecordIsAskedAgain) {
  // name, password, two colons and the full name make at most one 255-character line.
  const std::string fits(251, 'f');
  EXPECT_EQ(runCommands("U\nn\np\np\n" + std::string(252, 'f') + "\n" + std::string(400, 'g') +
                        "\n" + fits + "\n"),
            "\n" + kName + kPassword + kConfirm + kFullName +
                "Full name must be 251 characters or less.\n" + kFullName +
                "Full name must be 251 characters or less.\n" + kFullName + "Added user: n.\n");
  EXPECT_EQ(dir.read("passwd"), "root:x:Root\nn:p:" + fits + "\n");
}

TEST_F(AccountsTest, NulBytesInAnswersDoNotMakeEmptyNamesOrAddresses) {
  // A name of one NUL byte would otherwise pass as a name of length 1 and append the record
  // ":pw:Full", which reads back as user "pw" with password "Full".
  const std::string nul(1, '\0');
  EXPECT_EQ(runCommands("U\n" + nul + "\nk" + nul + "im\npw\npw\nFull\nH\n" + nul + "\n" + nul +
                        "10.0.0.3\n"),
            "\n" + kName + kName + kPassword + kConfirm + kFullName + "Added user: kim.\n" +
                kStoppedMenu + kPrompt + "\n" + kHost + kHost + "Added host: 10.0.0.3.\n");
  EXPECT_EQ(dir.read("passwd"), "root:x:Root\nkim:pw:Full\n");
  EXPECT_EQ(dir.read("hosts"), "10.0.0.1\n10.0.0.3\n");
}

TEST_F(AccountsTest, ExistingUserIsRefusedAndTheFileKeptAsItWas) {
  EXPECT_EQ(runCommands("U\nroot\npw\npw\nAnother Root\n"),
            "\n" + kName + kPassword + kConfirm + kFullName +
                "Internal Error: User root already exists.\nFailed to add user!\n");
  EXPECT_EQ(dir.read("passwd"), "root:x:Root\n");
  expectOnlyLoggedError("Internal Error: User root already exists.");
}

TEST_F(AccountsTest, HostIsAppendedAndAnExistingOneRefused) {
  EXPECT_EQ(runCommands("H\n\n" + std::string(300, '9') + "\n10.0.0.2\nH\n10.0.0.1\n"),
            "\n" + kHost + kHost + "Host address must be 255 characters or less.\n" + kHost +
                "Added host: 10.0.0.2.\n" + kStoppedMenu + kPrompt + "\n" + kHost +
                "Internal Error: Host 10.0.0.1 already exists.\nFailed to add trusted host!\n");
  EXPECT_EQ(dir.read("hosts"), "10.0.0.1\n10.0.0.2\n");
  expectOnlyLoggedError("Internal Error: Host 10.0.0.1 already exists.");
}

TEST_F(AccountsTest, EndOfInputInTheMiddleEndsTheProgramAndAddsNothing) {
  for (const std::string script : {"U\n", "U\nbob\n", "U\nbob\npw\n", "U\nbob\npw\npw\n", "H\n"}) {
    SCOPED_TRACE(script);
    const std::string out = runScript(script);
    EXPECT_TRUE(out.size() >= 9 && out.compare(out.size() - 9, 9, "Exiting.\n") == 0) << out;
    EXPECT_EQ(out.find("Added"), std::string::npos);
  }
  EXPECT_EQ(dir.read("passwd"), "root:x:Root\n");
  EXPECT_EQ(dir.read("hosts"), "10.0.0.1\n");
}

TEST_F(AccountsTest, PasswordIsNotEchoedOnATerminal) {
  auto server = launch(ChildProcess::Console::Terminal);
  server->write("u\r");
  ASSERT_TRUE(server->waitFor(kName));
  EXPECT_TRUE(server->terminalEcho());
  server->write("dave\r");
  // Each answer only once its question is up: the hidden entry drops what was typed ahead.
  ASSERT_TRUE(server->waitFor("Enter password> "));
  EXPECT_FALSE(server->terminalEcho());
  server->write("s3cret\r");
  ASSERT_TRUE(server->waitFor("Confirm password> "));
  EXPECT_FALSE(server->terminalEcho());
  server->write("other1\r");
  ASSERT_TRUE(server->waitForCount("Enter password> ", 2));
  EXPECT_FALSE(server->terminalEcho());
  server->write("s3cret\r");
  ASSERT_TRUE(server->waitForCount("Confirm password> ", 2));
  EXPECT_FALSE(server->terminalEcho());
  server->write("s3cret\r");
  ASSERT_TRUE(server->waitFor(kFullName));
  EXPECT_TRUE(server->terminalEcho());
  server->write("Dave Doe\r");
  ASSERT_TRUE(server->waitFor("Added user: dave."));
  server->write("q\r");
  EXPECT_EQ(server->waitExit(), 0);

  const std::string& out = server->output();
  EXPECT_EQ(out.find("s3cret"), std::string::npos) << out;
  EXPECT_EQ(out.find("other1"), std::string::npos) << out;
  // The ordinary answers are echoed; after a hidden one only the server's own line feed shows.
  EXPECT_NE(out.find(kName + "dave\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Enter password> \r\nConfirm password> \r\nPasswords do not match.\r\n"
                     "Enter password> \r\nConfirm password> \r\n" +
                     kFullName + "Dave Doe\r\nAdded user: dave.\r\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(dir.read("passwd"), "root:x:Root\ndave:s3cret:Dave Doe\n");
}

TEST_F(AccountsTest, EchoComesBackWhenInputEndsAtTheHiddenQuestion) {
  auto server = launch(ChildProcess::Console::Terminal);
  server->write("U\r");
  ASSERT_TRUE(server->waitFor(kName));
  server->write("dave\r");
  ASSERT_TRUE(server->waitFor("Enter password> "));
  EXPECT_FALSE(server->terminalEcho());
  server->closeInput();
  EXPECT_EQ(server->waitExit(), 0);
  EXPECT_TRUE(server->terminalEcho());
  EXPECT_EQ(dir.read("passwd"), "root:x:Root\n");
}

TEST_F(AccountsTest, NewUserLogsInAtOnce) {
  configure("security LOGIN\n");
  auto server = launchRunning();
  auto early = connect();
  ASSERT_TRUE(early);
  EXPECT_FALSE(early->logIn("erin", "pw1"));

  server->write("U\nerin\npw1\npw1\nErin E\n");
  ASSERT_TRUE(server->waitFor("Added user: erin.\n" + kRunningMenu + kPrompt));
  EXPECT_TRUE(login("erin", "pw1"));
  quit(*server);
}

TEST_F(AccountsTest, HashedStorageWritesAHashThatLogsIn) {
  // Kept in clear, a password that begins with '$' would read back as a hash: asked again.
  EXPECT_EQ(runCommands("U\nzed\n$ab\nab\nab\nZed\n"),
            "\n" + kName + kPassword +
                "Password can not begin with '$' unless passwords are stored hashed.\n" +
                kPassword + kConfirm + kFullName + "Added user: zed.\n");

  configure("security LOGIN\npasswordhash yescrypt\n");
  if (!PasswordHash::available()) {
    // Never the password in clear instead.
    EXPECT_EQ(runCommands("U\nyan\n$ab\n$ab\n"),
              "\n" + kName + kPassword + kConfirm +
                  "Internal Error: Passwords cannot be hashed on this system (passwordhash "
                  "yescrypt).\nFailed to add user!\n");
    EXPECT_EQ(dir.read("passwd"), "root:x:Root\nzed:ab:Zed\n");
    return;
  }
  auto server = launchRunning();
  server->write("U\nyan\n$ab\n$ab\nYan\n");
  ASSERT_TRUE(server->waitFor("Added user: yan.\n" + kRunningMenu + kPrompt));
  EXPECT_TRUE(login("yan", "$ab"));
  EXPECT_FALSE(login("yan", "ab"));
  quit(*server);
  const std::string file = dir.read("passwd");
  const std::string before = "root:x:Root\nzed:ab:Zed\nyan:$y$";
  EXPECT_EQ(file.substr(0, before.size()), before) << file;
  EXPECT_EQ(file.substr(file.size() - 5), ":Yan\n") << file;
}

TEST_F(AccountsTest, NewHostIsAdmittedAtOnce) {
  configure("hostcheck TRUE\n");
  auto server = launchRunning();

  auto refused = connect();
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->next(), "HELO");
  EXPECT_EQ(refused->next(), "MESS:Verifiying host.");
  EXPECT_EQ(refused->next(), "MESS:Connection Error: Access denied to unknown host " + ownAddress);
  for (std::string packet = refused->next(); !packet.empty(); packet = refused->next()) {
    EXPECT_EQ(packet.rfind("LEVL", 0), std::string::npos);
  }

  server->write("H\n" + ownAddress + "\n");
  ASSERT_TRUE(server->waitFor("Added host: " + ownAddress + ".\n" + kRunningMenu + kPrompt));
  EXPECT_EQ(dir.read("hosts"), "10.0.0.1\n" + ownAddress + "\n");

  auto admitted = connect();
  ASSERT_TRUE(admitted);
  EXPECT_EQ(admitted->next(), "HELO");
  EXPECT_EQ(admitted->next(), "MESS:Verifiying host.");
  EXPECT_EQ(admitted->next(), "MESS:Verified host " + ownAddress + ".");
  EXPECT_TRUE(admitted->logIn("frank"));
  quit(*server);
}

}  // namespace
