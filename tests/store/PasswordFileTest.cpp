#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/Server.h"
#include "platform/PasswordHash.h"
#include "StartingLine.h"
#include "TempDir.h"

namespace {

class PasswordFileTest : public testing::Test {
 protected:
  void SetUp() override {
    server.setPasswdFile("passwd");
    server.securityLevel = LOGIN;
  }

  // What the operations print while f runs.
  template <typename F>
  static std::string console(F f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
  }
  bool logged(const std::string& message) const {
    return dir.read(".servererrors").find("ERROR: " + message + "\tAT: ") != std::string::npos;
  }
  std::string fullName(const char* name) {
    char buffer[1024];
    const char* result = server.lookupFullName(name, buffer, sizeof buffer);
    return result != nullptr ? result : "<null>";
  }

  TempDir dir;
  Server server{10};
};

TEST_F(PasswordFileTest, NamesAndPasswordsMatchExactly) {
  dir.write("passwd", "alice:secret:Alice Smith\n");
  EXPECT_TRUE(server.verifyPassword("alice", "secret"));
  EXPECT_FALSE(server.verifyPassword("Alice", "secret"));
  EXPECT_FALSE(server.verifyPassword("alice", "Secret"));
  EXPECT_FALSE(server.verifyPassword("alice", "secre"));
  EXPECT_FALSE(server.verifyPassword("alic", "secret"));
  EXPECT_EQ(fullName("alice"), "Alice Smith");
  EXPECT_EQ(fullName("nobody"), "UNAVAILABLE");
}

TEST_F(PasswordFileTest, EmptyFieldsDoNotCountAsFields) {
  dir.write("passwd", "bob::Bob Jones\n::carl:pw:Carl\nfrank:pw\ngina:pw:\nhal:pw:Hal:Jr\n");
  // The full name slides into the empty password's place.
  EXPECT_FALSE(server.verifyPassword("bob", ""));
  EXPECT_TRUE(server.verifyPassword("bob", "Bob Jones"));
  EXPECT_EQ(fullName("bob"), "UNAVAILABLE");
  EXPECT_TRUE(server.verifyPassword("carl", "pw"));
  EXPECT_EQ(fullName("carl"), "Carl");
  EXPECT_EQ(fullName("frank"), "UNAVAILABLE");
  // An empty full name (the console allows one) costs only the name, never the login.
  EXPECT_TRUE(server.verifyPassword("gina", "pw"));
  EXPECT_EQ(fullName("gina"), "UNAVAILABLE");
  EXPECT_EQ(fullName("hal"), "Hal");
}

TEST_F(PasswordFileTest, RecordWithoutPasswordIsReported) {
  dir.write("passwd", "carol\ndave:::\n");
  EXPECT_EQ(console([&] { EXPECT_FALSE(server.verifyPassword("carol", "")); }),
            "Internal Error: Password for carol does not exist.\n");
  EXPECT_EQ(console([&] { EXPECT_FALSE(server.verifyPassword("dave", ":")); }),
            "Internal Error: Password for dave does not exist.\n");
  EXPECT_TRUE(logged("Internal Error: Password for carol does not exist."));
  EXPECT_TRUE(logged("Internal Error: Password for dave does not exist."));
}

TEST_F(PasswordFileTest, FirstRecordForANameWins) {
  dir.write("passwd", "ann:one:First Ann\nann:two:Second Ann\nben\nben:pw:Ben\n");
  EXPECT_TRUE(server.verifyPassword("ann", "one"));
  EXPECT_FALSE(server.verifyPassword("ann", "two"));
  EXPECT_EQ(fullName("ann"), "First Ann");
  console([&] { EXPECT_FALSE(server.verifyPassword("ben", "pw")); });
  EXPECT_EQ(fullName("ben"), "UNAVAILABLE");
}

TEST_F(PasswordFileTest, BlankLinesAreSkippedByEveryReader) {
  // Spaces and tabs, a lone CR, and the blank last line an editor leaves.
  const std::string content = "\nann:pw:Ann\n  \t\n\r\n\n";
  dir.write("passwd", content);
  EXPECT_TRUE(server.verifyPassword("ann", "pw"));
  EXPECT_EQ(console([&] { EXPECT_TRUE(server.addUser("cid", "pw3", "Cid")); }), "");
  EXPECT_EQ(dir.read("passwd"), content + "cid:pw3:Cid\n");
  EXPECT_TRUE(server.verifyPassword("cid", "pw3"));
  EXPECT_EQ(fullName("cid"), "Cid");
}

TEST_F(PasswordFileTest, LongLineIsReadIn255CharacterPieces) {
  // The first piece ends right after the A's; the rest reads as a record of its own.
  const std::string name(247, 'A');
  dir.write("passwd", "long:pw:" + name + "B:piece:Piece\n");
  EXPECT_EQ(fullName("long"), name);
  EXPECT_TRUE(server.verifyPassword("B", "piece"));

  const std::string content = "long:pw:" + std::string(300, 'x') + "\n";
  dir.write("passwd", content);
  EXPECT_EQ(console([&] { EXPECT_FALSE(server.addUser("bob", "pw", "Bob")); }),
            "Internal Error: Could not parse file.\n");
  EXPECT_EQ(dir.read("passwd"), content);
}

TEST_F(PasswordFileTest, LookupCutsTheFullNameAndPadsWithNuls) {
  dir.write("passwd", "alice:pw:Alice Smith\nal:pw:Al\n");
  char buffer[12];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(server.lookupFullName("alice", buffer, 8), buffer);
  EXPECT_EQ(std::string(buffer, 9), std::string("Alice S\0x", 9));
  std::memset(buffer, 'x', sizeof buffer);
  server.lookupFullName("al", buffer, 8);
  EXPECT_EQ(std::string(buffer, 9), std::string("Al\0\0\0\0\0\0x", 9));
}

TEST_F(PasswordFileTest, CrLfFileReadsLikeLf) {
  dir.write("passwd", "alice:secret:Alice\r\nbob:pw:Bob\r\n");
  EXPECT_TRUE(server.verifyPassword("alice", "secret"));
  EXPECT_EQ(fullName("alice"), "Alice");
  console([&] { EXPECT_FALSE(server.addUser("bob", "x", "Y")); });
  EXPECT_TRUE(server.addUser("carol", "pw", "Carol"));
  EXPECT_EQ(dir.read("passwd"), "alice:secret:Alice\r\nbob:pw:Bob\r\ncarol:pw:Carol\n");
}

TEST_F(PasswordFileTest, MissingFileIsReportedAndNeverCreatedByTheReaders) {
  const std::string message = "Internal Error: Passwd file passwd inaccessible.";
  EXPECT_EQ(console([&] { EXPECT_FALSE(server.verifyPassword("alice", "pw")); }), message + "\n");
  char buffer[8] = "keep";
  EXPECT_EQ(console([&] { EXPECT_EQ(server.lookupFullName("alice", buffer, 8), nullptr); }),
            message + "\n");
  EXPECT_STREQ(buffer, "keep");
  EXPECT_TRUE(logged(message));
  EXPECT_FALSE(dir.exists("passwd"));
}

TEST_F(PasswordFileTest, AddingCreatesAMissingFileForItsOwnerOnly) {
  EXPECT_EQ(console([&] { EXPECT_TRUE(server.addUser("alice", "pw", "Alice")); }),
            "Created password file passwd.\n");
#ifndef _WIN32
  EXPECT_EQ(dir.permissions("passwd") & std::filesystem::perms::all, std::filesystem::perms(0600));
#endif
  EXPECT_TRUE(server.verifyPassword("alice", "pw"));
}

TEST_F(PasswordFileTest, AddingNeverCreatesThroughALinkPlantedAsTheFile) {
  std::error_code error;
  std::filesystem::create_symlink("elsewhere", "passwd", error);
  if (error) GTEST_SKIP() << "no symbolic links here: " << error.message();
  EXPECT_EQ(console([&] { EXPECT_FALSE(server.addUser("alice", "pw", "Alice")); }),
            "Internal Error: Passwd file passwd inaccessible.\n");
  EXPECT_FALSE(dir.exists("elsewhere"));
}

TEST_F(PasswordFileTest, FreeForAllLookupNeverReadsTheFile) {
  server.securityLevel = FREEFORALL;
  EXPECT_EQ(console([&] { EXPECT_EQ(fullName("alice"), "UNAVAILABLE"); }), "");
  dir.write("passwd", "alice:pw:Alice\n");
  EXPECT_EQ(fullName("alice"), "UNAVAILABLE");
  EXPECT_FALSE(dir.exists(".servererrors"));
}

TEST_F(PasswordFileTest, UnsetPathIsReported) {
  std::free(server.passwdFile);
  server.passwdFile = nullptr;
  const std::string message = "Internal Error: No passwd file specified.";
  EXPECT_EQ(console([&] { EXPECT_FALSE(server.verifyPassword("a", "b")); }), message + "\n");
  EXPECT_EQ(console([&] { EXPECT_EQ(fullName("a"), "<null>"); }), message + "\n");
  EXPECT_EQ(console([&] { EXPECT_FALSE(server.addUser("a", "b", "c")); }), message + "\n");
  EXPECT_TRUE(logged(message));
}

TEST_F(PasswordFileTest, FormatCharactersInPathsAndNamesAreText) {
  dir.write("passwd", "%s%n\n");
  EXPECT_EQ(console([&] { server.verifyPassword("%s%n", ""); }),
            "Internal Error: Password for %s%n does not exist.\n");
  server.setPasswdFile("%s%n%x");
  EXPECT_EQ(console([&] { server.verifyPassword("a", "b"); }),
            "Internal Error: Passwd file %s%n%x inaccessible.\n");
}

TEST_F(PasswordFileTest, AddedRecordCanLogIn) {
  dir.write("passwd", "");
  EXPECT_TRUE(server.addUser("alice", "pw", "Alice Smith"));
  EXPECT_TRUE(server.addUser("ali", "pw2", "Ali"));  // a prefix of a name is another name
  EXPECT_EQ(dir.read("passwd"), "alice:pw:Alice Smith\nali:pw2:Ali\n");
  EXPECT_TRUE(server.verifyPassword("ali", "pw2"));
  EXPECT_EQ(fullName("alice"), "Alice Smith");
}

TEST_F(PasswordFileTest, DuplicateNameLeavesTheFileUnchanged) {
  const std::string content = "ann:pw:Ann\nalice:pw:Alice";
  dir.write("passwd", content);
  EXPECT_EQ(console([&] { EXPECT_FALSE(server.addUser("alice", "new", "New")); }),
            "Internal Error: User alice already exists.\n");
  EXPECT_TRUE(logged("Internal Error: User alice already exists."));
  EXPECT_EQ(dir.read("passwd"), content);
}

TEST_F(PasswordFileTest, AppendStartsANewLineAfterAnUnterminatedLastLine) {
  dir.write("passwd", "alice:pw:Alice");
  EXPECT_TRUE(server.addUser("bob", "pw", "Bob"));
  EXPECT_EQ(dir.read("passwd"), "alice:pw:Alice\nbob:pw:Bob\n");
  EXPECT_EQ(fullName("alice"), "Alice");
  EXPECT_TRUE(server.verifyPassword("bob", "pw"));
}

TEST_F(PasswordFileTest, ConcurrentAdditionsOfOneNameAppendOneRecord) {
  constexpr int kThreads = 4;
  for (int round = 0; round < 20; ++round) {
    // Every other round starts without a file: one of the threads creates it.
    const bool missing = round % 2 == 1;
    std::filesystem::remove("passwd");
    if (!missing) dir.write("passwd", "ann:pw:Ann\n");
    std::atomic<int> added{0};
    const std::string printed = console([&] {
      StartingLine start(kThreads);
      std::vector<std::thread> threads;
      for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
          start.arriveAndWait();
          if (server.addUser("same", "pw", "Same")) ++added;
        });
      }
      for (auto& thread : threads) thread.join();
    });
    ASSERT_EQ(added, 1) << "round " << round;
    ASSERT_EQ(dir.read("passwd"), (missing ? "" : "ann:pw:Ann\n") + std::string("same:pw:Same\n"))
        << "round " << round;
    std::string refusals;
    for (int i = 1; i < kThreads; ++i) refusals += "Internal Error: User same already exists.\n";
    ASSERT_EQ(printed, (missing ? "Created password file passwd.\n" : "") + refusals)
        << "round " << round;
  }
}

// --- hashed records

// "secret" hashed at yescrypt cost 1 (the cheapest the system makes).
const std::string kHashedSecret =
    "$y$j75$YyPZgoyszj9/AVK7FqA8o.$tutaNjUU6dXCtREt1KxQ31U7HWLwTi1bSomFOrgNXLC";

TEST_F(PasswordFileTest, HashedAndClearRecordsVerifySideBySide) {
  dir.write("passwd", "hana:" + kHashedSecret + ":Hana Hashed\nclara:secret:Clara\n"
                      "olga:$1$abc$def:Old Hash\n");
  EXPECT_TRUE(server.verifyPassword("clara", "secret"));
  EXPECT_FALSE(server.verifyPassword("clara", kHashedSecret.c_str()));
  EXPECT_EQ(fullName("hana"), "Hana Hashed");
  // A hash is never a password in its own right.
  EXPECT_FALSE(server.verifyPassword("hana", kHashedSecret.c_str()));
  EXPECT_FALSE(server.verifyPassword("hana", "Secret"));
  // Where the system cannot hash, a hashed record admits nobody and says why.
  const bool can = PasswordHash::available();
  EXPECT_EQ(console([&] { EXPECT_EQ(server.verifyPassword("hana", "secret") != 0, can); }),
            can ? "" : "Internal Error: Password for hana is a hash this system cannot check.\n");
  EXPECT_EQ(console([&] { EXPECT_FALSE(server.verifyPassword("olga", "x")); }),
            "Internal Error: Password for olga is a hash this system cannot check.\n");

  long clear = -1;
  long uncheckable = -1;
  EXPECT_TRUE(server.countPasswordRecords(&clear, &uncheckable));
  EXPECT_EQ(clear, 1);
  EXPECT_EQ(uncheckable, can ? 1 : 2);
}

TEST_F(PasswordFileTest, NewPasswordsAreStoredAsTheSettingSays) {
  char field[PasswordHash::kHashSize];
  EXPECT_TRUE(server.passwordField("pw", field, sizeof field));
  EXPECT_STREQ(field, "pw");
  // Kept in clear, it would read back as a hash that matches nothing.
  EXPECT_EQ(console([&] { EXPECT_FALSE(server.passwordField("$pw", field, sizeof field)); }),
            "Internal Error: A password kept in clear cannot begin with '$'.\n");

  dir.write("passwd", "");
  for (PasswordStorage storage : {YESCRYPT, SHA512}) {
    server.passwordStorage = storage;
    const std::string name = storage == YESCRYPT ? "yves" : "shay";
    if (!PasswordHash::available()) {
      EXPECT_EQ(console([&] { EXPECT_FALSE(server.passwordField("pw", field, sizeof field)); }),
                "Internal Error: Passwords cannot be hashed on this system (passwordhash " +
                    std::string(storage == YESCRYPT ? "yescrypt" : "sha512") + ").\n");
      continue;
    }
    ASSERT_TRUE(server.passwordField("$pw", field, sizeof field));
    EXPECT_EQ(std::string(field, 3), storage == YESCRYPT ? "$y$" : "$6$");
    ASSERT_TRUE(server.addUser(name.c_str(), field, "Hashed"));
    EXPECT_TRUE(server.verifyPassword(name.c_str(), "$pw"));
    EXPECT_FALSE(server.verifyPassword(name.c_str(), "pw"));
    EXPECT_EQ(fullName(name.c_str()), "Hashed");
  }
}

}  // namespace
