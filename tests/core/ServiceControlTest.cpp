// Starting, stopping and checking the service, in-process on loopback: the diagnostics report,
// the slots and threads a start brings up, what users see when the service stops, and that a
// stop returns promptly and gives back every thread and descriptor whatever the clients do.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ProcessCounts.h"
#include "ServiceFixture.h"
#include "platform/NamedMutexRegistry.h"
#include "platform/PasswordHash.h"
#include "platform/ServerSocket.h"
#include "sessions/ConnectionSlot.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

class ServiceControlTest : public ServiceFixture {
 protected:
  struct Outcome {
    bool passed;
    std::string printed;
    std::string logged;  // what the call appended to the error log
  };

  // Runs one control operation and records what it printed and logged.
  template <typename Operation>
  Outcome observe(Operation operation) {
    const std::size_t before = dir.read(".servererrors").size();
    testing::internal::CaptureStdout();
    bool passed = operation() != 0;
    std::string printed = testing::internal::GetCapturedStdout();
    return {passed, printed, dir.read(".servererrors").substr(before)};
  }

  Outcome diagnose() {
    return observe([this] { return server.runDiagnostics(); });
  }

  // A failure printed as text and a line feed, and logged as one entry.
  static void expectReported(const Outcome& outcome, const std::string& text) {
    EXPECT_FALSE(outcome.passed);
    EXPECT_EQ(outcome.printed, text + "\n");
    EXPECT_EQ(outcome.logged.substr(0, 7 + text.size() + 5), "ERROR: " + text + "\tAT: ");
    EXPECT_EQ(outcome.logged.find("ERROR: ", 1), std::string::npos) << "more than one entry";
  }

  static void expectQuietPass(const Outcome& outcome) {
    EXPECT_TRUE(outcome.passed);
    EXPECT_EQ(outcome.printed, "");
    EXPECT_EQ(outcome.logged, "");
  }

  // The other clients' USER notices for name have all arrived once name's own "everyone"
  // packet does: its worker sends the notices before it routes anything.
  void settle(WireClient& newest, const std::string& name,
              std::initializer_list<WireClient*> everyone) {
    const std::string marker = "everyone\xFC"s + "settled " + name + "\xFD";
    ASSERT_TRUE(newest.send("PRIV", marker, name));
    for (WireClient* client : everyone) {
      Packet packet;
      bool found = false;
      while (!found && client->skipTo("PRIV", packet)) found = payloadOf(packet) == marker;
      ASSERT_TRUE(found);
    }
  }

  // The client's stream ends here: the server closes it without sending anything more.
  static void expectClosedWithNothingMore(WireClient& client) {
    std::string bytes;
    EXPECT_FALSE(client.readBytes(bytes, 1, 3s));
    EXPECT_EQ(bytes, "") << "more bytes after the expected packets";
    EXPECT_TRUE(client.closedByPeer(1s));
  }

  int connectionLogCount(const std::string& prefix) {
    const std::string log = "\n" + dir.read("connectionlog");
    int count = 0;
    for (std::size_t at = log.find("\n" + prefix); at != std::string::npos;
         at = log.find("\n" + prefix, at + 1)) {
      ++count;
    }
    return count;
  }
};

// --- diagnostics

TEST_F(ServiceControlTest, EmptyMulticastAddressFailsTheStartWithOneReport) {
  server.setMcastAddress("");
  const std::string report = "Errors encountered:\n\tNo Multicast Group address has been specified!";
  expectReported(diagnose(), report);
  expectReported(observe([this] { return server.start(); }), report);
  EXPECT_FALSE(server.running);
  EXPECT_EQ(server.slots, nullptr);
  EXPECT_EQ(server.startTime, 0);
}

TEST_F(ServiceControlTest, FreeForAllWithoutHostCheckNeedsNoPasswdOrHostsFile) {
  ASSERT_FALSE(dir.exists("passwd"));
  ASSERT_FALSE(dir.exists("hosts"));
  expectQuietPass(diagnose());
}

TEST_F(ServiceControlTest, PasswdIsRequiredAtLoginAndHostsWithTheHostCheck) {
  server.securityLevel = LOGIN;
  expectReported(diagnose(), "Errors encountered:\n\tError accessing passwd file: passwd");
  server.hostCheck = 1;
  expectReported(diagnose(),
                 "Errors encountered:\n\tError accessing passwd file: passwd"
                 "\n\tError accessing hosts file: hosts");
  dir.write("passwd", "");
  dir.write("hosts", "");
  expectQuietPass(diagnose());
}

TEST_F(ServiceControlTest, MulticastAddressMustLieIn224To239) {
  for (const char* good : {"224.0.0.0", "239.255.255.255"}) {
    server.setMcastAddress(good);
    SCOPED_TRACE(good);
    expectQuietPass(diagnose());
  }
  for (const char* bad : {"223.255.255.255", "240.0.0.0", "300.1.1.1", "multicast"}) {
    server.setMcastAddress(bad);
    SCOPED_TRACE(bad);
    expectReported(diagnose(), "Errors encountered:\n\tMulticast Group address "s + bad +
                                   " is invalid! (Valid range: 224.0.0.0 - 239.255.255.255)");
  }
}

TEST_F(ServiceControlTest, MulticastAddressWithTextAfterItFails) {
  // A .serverrc line "mcastaddress 239.9.9.9<TAB>junk" leaves this: a tab is part of a word.
  server.setMcastAddress("239.9.9.9\tjunk");
  expectReported(diagnose(), "Errors encountered:\n\tMulticast Group address 239.9.9.9\tjunk "
                             "is invalid! (Valid range: 224.0.0.0 - 239.255.255.255)");
  server.setMcastAddress("0xef.1.2.3");  // the classic forms stay valid
  expectQuietPass(diagnose());
}

TEST_F(ServiceControlTest, FolderAsPasswdOrHostsFileFailsTheStart) {
  std::filesystem::create_directory("passwd");
  std::filesystem::create_directory("hosts");
  server.securityLevel = LOGIN;
  server.hostCheck = 1;
  expectReported(observe([this] { return server.start(); }),
                 "Errors encountered:\n\tError accessing passwd file: passwd"
                 "\n\tError accessing hosts file: hosts");
  EXPECT_FALSE(server.running);
}

TEST_F(ServiceControlTest, PasswdFileOthersMayReadIsAWarningThatStartsAnyway) {
#ifdef _WIN32
  GTEST_SKIP() << "no group or other permissions here";
#endif
  server.securityLevel = LOGIN;
  dir.write("passwd", "");
  std::filesystem::permissions("passwd", std::filesystem::perms::group_read,
                               std::filesystem::perm_options::add);
  const Outcome outcome = observe([this] { return server.start(); });
  EXPECT_TRUE(outcome.passed);
  EXPECT_EQ(outcome.printed, "Warnings:\n\tPassword file passwd is readable by other users\n");
  EXPECT_EQ(outcome.logged, "");
}

TEST_F(ServiceControlTest, ClearPasswordsAtSecureAndHashesNobodyCanCheckAreWarnings) {
  // One clear record, one hash in a method the server does not take.
  dir.write("passwd", "ann:pw:Ann\nold:$1$abc$def:Old\n");
  server.securityLevel = LOGIN;
  const std::string uncheckable =
      "\n\tPassword file passwd holds 1 hashed password this system cannot check: that user "
      "cannot log in";
  Outcome outcome = diagnose();
  EXPECT_TRUE(outcome.passed);
  EXPECT_EQ(outcome.printed, "Warnings:" + uncheckable + "\n");
  server.securityLevel = SECURE;
  outcome = diagnose();
  EXPECT_TRUE(outcome.passed);
  EXPECT_EQ(outcome.printed,
            "Warnings:\n\tPassword file passwd holds 1 password in clear text (passwordhash "
            "stores new ones hashed)" + uncheckable + "\n");
  EXPECT_EQ(outcome.logged, "");
  // Asking for hashes where there are none to be had is said before anyone tries U.
  dir.write("passwd", "");
  server.passwordStorage = SHA512;
  outcome = diagnose();
  EXPECT_TRUE(outcome.passed);
  EXPECT_EQ(outcome.printed, PasswordHash::available()
                                 ? ""
                                 : "Warnings:\n\tPasswords cannot be hashed on this system: no "
                                   "user can be added while passwordhash is sha512\n");
}

TEST_F(ServiceControlTest, PortsBelow1024Fail) {
  server.listener.localPort = 1023;
  expectReported(diagnose(), "Errors encountered:\n\tInvalid server port: 1023 (1024 - 65535)");
  server.listener.localPort = 1024;
  expectQuietPass(diagnose());
  server.mcastPort = 1023;
  expectReported(diagnose(), "Errors encountered:\n\tInvalid Multicast port: 1023 (1024 - 65535)");
  server.mcastPort = 1024;
  expectQuietPass(diagnose());
}

TEST_F(ServiceControlTest, TtlMustBeOneOfTheScopes) {
  server.mcastTtl = 64;
  expectQuietPass(diagnose());
  server.mcastTtl = 2;
  expectReported(diagnose(), "Errors encountered:\n\tInvalid Multicast TTL");
}

TEST_F(ServiceControlTest, UnknownSecurityLevelFails) {
  dir.write("passwd", "");
  server.securityLevel = static_cast<SecurityLevel>(7);
  expectReported(diagnose(),
                 "Errors encountered:\n\tInvalid security setting (Must be FREEFORALL, LOGIN, SECURE)");
}

TEST_F(ServiceControlTest, UserLimitOutsideZeroTo1000Fails) {
  for (int good : {0, 1000}) {
    server.capacity = good;
    expectQuietPass(diagnose());
  }
  for (int bad : {-1, 1001}) {
    server.capacity = bad;
    expectReported(diagnose(), "Errors encountered:\n\tInvalid user limit: " + std::to_string(bad) +
                                   " (0 - 1000)");
  }
  server.capacity = -1;
  EXPECT_FALSE(observe([this] { return server.start(); }).passed);
  EXPECT_EQ(server.slots, nullptr);
}

TEST_F(ServiceControlTest, EveryFailureHasItsLineInOneReportInCheckOrder) {
  server.setConnectionLogFile("no-such-folder/connectionlog");
  server.securityLevel = LOGIN;
  server.hostCheck = 1;
  server.listener.localPort = 1023;
  server.setMcastAddress("240.0.0.0");
  server.mcastPort = 80;
  server.mcastTtl = 2;
  server.capacity = -1;
  expectReported(diagnose(),
                 "Errors encountered:"
                 "\n\tError accessing connection log file: no-such-folder/connectionlog"
                 "\n\tError accessing passwd file: passwd"
                 "\n\tError accessing hosts file: hosts"
                 "\n\tInvalid server port: 1023 (1024 - 65535)"
                 "\n\tMulticast Group address 240.0.0.0 is invalid! (Valid range: 224.0.0.0 - "
                 "239.255.255.255)"
                 "\n\tInvalid Multicast port: 80 (1024 - 65535)"
                 "\n\tInvalid Multicast TTL"
                 "\n\tInvalid user limit: -1 (0 - 1000)");
}

TEST_F(ServiceControlTest, LongPathsAreReportedWhole) {
  const std::string folder = "missing-" + std::string(600, 'f');
  server.setConnectionLogFile((folder + "/connectionlog").c_str());
  server.securityLevel = LOGIN;
  server.setPasswdFile((folder + "/passwd").c_str());
  expectReported(diagnose(), "Errors encountered:\n\tError accessing connection log file: " +
                                 folder + "/connectionlog\n\tError accessing passwd file: " +
                                 folder + "/passwd");
}

TEST_F(ServiceControlTest, DiagnosticsCreateMissingLogs) {
  ASSERT_FALSE(dir.exists("connectionlog"));
  ASSERT_FALSE(dir.exists(".servererrors"));
  expectQuietPass(diagnose());
  EXPECT_TRUE(dir.exists("connectionlog"));
  EXPECT_TRUE(dir.exists(".servererrors"));
  EXPECT_EQ(dir.read("connectionlog"), "");
}

// --- start

TEST_F(ServiceControlTest, StartBringsUpCapacityPlusOneSlotsEachWithItsWorkerTheFlusherAndTheLoop) {
  // A sanitizer starts a helper thread with the first thread: let it join the baseline.
  std::thread([] {}).join();
  const int threadsBefore = threadCount();
  expectQuietPass(observe([this] { return server.start(); }));
  EXPECT_TRUE(server.running);
  EXPECT_NE(server.startTime, 0);
  ASSERT_NE(server.slots, nullptr);
  for (int i = 0; i <= 10; ++i) {
    ASSERT_NE(server.slots[i], nullptr) << i;
    ASSERT_NE(server.slots[i]->thread, nullptr) << i;
    EXPECT_TRUE(server.slots[i]->thread->joinable()) << i;
    EXPECT_NE(server.slots[i]->threadId, 0u) << i;
  }
  // The workers, the notices' flusher and the session loop.
  EXPECT_EQ(threadCount(), threadsBefore + 11 + 2);
}

TEST_F(ServiceControlTest, SecondStartReportsAndChangesNothing) {
  ASSERT_TRUE(startService());
  auto alice = login("alice");
  ASSERT_TRUE(alice);
  ConnectionSlot** slots = server.slots;
  std::vector<std::thread*> threads;
  for (int i = 0; i <= 10; ++i) threads.push_back(slots[i]->thread);
  const std::time_t started = server.startTime;
  const int threadsBefore = threadCount();

  expectReported(observe([this] { return server.start(); }),
                 "Internal Error: Could not start server because it is already running.");
  EXPECT_TRUE(server.running);
  EXPECT_EQ(server.slots, slots);
  for (int i = 0; i <= 10; ++i) EXPECT_EQ(server.slots[i]->thread, threads[static_cast<std::size_t>(i)]);
  EXPECT_EQ(server.startTime, started);
  EXPECT_EQ(threadCount(), threadsBefore);
  EXPECT_TRUE(isLoggedIn("alice"));
  ASSERT_TRUE(alice->send("PRIV", "alice\xFC" "still here\xFD", "alice"));
  EXPECT_EQ(alice->next(), "PRIV:alice\xFC" "still here");
}

TEST_F(ServiceControlTest, StopWhileStoppedReports) {
  expectReported(observe([this] { return server.stop(); }),
                 "Internal Error: Could not stop server because it is not running.");
  EXPECT_FALSE(server.running);
}

TEST_F(ServiceControlTest, ListenerPortInUseFailsTheStartAndLeavesNothingBehind) {
  const int threadsBefore = threadCount();
  {
    ServerSocket holder(port, "127.0.0.1", 1);
    ASSERT_TRUE(holder.open());
    // The report gives the system's reason, in its own words.
    ServerSocket rival(port, "127.0.0.1", 1);
    ASSERT_FALSE(rival.open());
    const std::string reason = rival.failure();
    ASSERT_FALSE(reason.empty());
    EXPECT_NE(reason.back(), '.');
    expectReported(observe([this] { return server.start(); }),
                   "Internal Error: Could not open listening socket on 127.0.0.1 port " +
                       std::to_string(port) + ": " + reason + ".");
    EXPECT_FALSE(server.running);
    EXPECT_EQ(server.slots, nullptr);
    EXPECT_EQ(server.startTime, 0);
    EXPECT_EQ(threadCount(), threadsBefore);
  }
  // Once the port is free the same server starts and serves.
  ASSERT_TRUE(startService());
  EXPECT_TRUE(login("alice"));
}

// --- stop

TEST_F(ServiceControlTest, StopTellsEveryUserBeforeAnyQuitAndLeavesNoTrace) {
  ASSERT_TRUE(startService());
  auto alice = login("alice");
  ASSERT_TRUE(alice);
  auto bob = login("bob");
  ASSERT_TRUE(bob);
  settle(*bob, "bob", {alice.get(), bob.get()});
  auto stranger = connectClient();  // half-way through its login: connected, nothing sent
  ASSERT_TRUE(stranger);
  EXPECT_EQ(stranger->next(), "HELO");
  EXPECT_EQ(stranger->next(), "LEVL:1");
  ASSERT_TRUE(waitUntil([&] { return server.connectionCount == 3; }));
  const std::string errorsBefore = dir.read(".servererrors");

  expectQuietPass(observe([this] { return server.stop(); }));

  for (WireClient* user : {alice.get(), bob.get()}) {
    Packet notice;
    ASSERT_TRUE(user->readPacket(notice));
    EXPECT_EQ(std::string(notice.type, 4), "MESS");
    EXPECT_EQ(textOf(notice), "The server is shutting down!");
    EXPECT_EQ(std::string(notice.senderName, 8), "server\0\0"s);
    EXPECT_EQ(std::string(notice.senderHost, 16), "127.0.0.1" + std::string(7, '\0'));
    EXPECT_EQ(user->next(), "QUIT");
    expectClosedWithNothingMore(*user);  // and no GONE for the other
  }
  expectClosedWithNothingMore(*stranger);
  EXPECT_EQ(loggedInCount(), 0);
  EXPECT_EQ(server.connectionCount, 0);
  EXPECT_EQ(server.startTime, 0);
  EXPECT_FALSE(server.running);
  EXPECT_EQ(server.slots, nullptr);
  // Each logged-in user the stop dropped has its end in the log; the stranger never had a start.
  EXPECT_EQ(connectionLogCount("Connect: "), 2);
  EXPECT_EQ(connectionLogCount("Disconnect: USER: alice\t"), 1);
  EXPECT_EQ(connectionLogCount("Disconnect: USER: bob\t"), 1);
  EXPECT_EQ(connectionLogCount("Disconnect: "), 2);
  EXPECT_EQ(dir.read(".servererrors"), errorsBefore);
}

TEST_F(ServiceControlTest, ServiceStartsAgainAfterAStopAndServes) {
  ASSERT_TRUE(startService());
  auto first = login("alice");
  ASSERT_TRUE(first);
  ASSERT_TRUE(server.stop());
  ASSERT_TRUE(startService());
  auto alice = login("alice");  // the name is free again
  ASSERT_TRUE(alice);
  auto bob = login("bob");
  ASSERT_TRUE(bob);
  EXPECT_TRUE(waitUntil([&] { return server.connectionCount == 2; }));
  ASSERT_TRUE(bob->send("PRIV", "alice\xFC" "again\xFD", "bob"));
  Packet packet;
  ASSERT_TRUE(alice->skipTo("PRIV", packet));
  EXPECT_EQ(textOf(packet), "alice\xFC" "again");
}

TEST_F(ServiceControlTest, StopReturnsPromptlyWhateverTheClientsDo) {
  server.sendTimeoutMilliseconds = 10000;  // the reader that stalls is not dropped by itself
  ASSERT_TRUE(startService());
  auto idle = login("idle");
  ASSERT_TRUE(idle);
  auto stalled = login("stalled");
  ASSERT_TRUE(stalled);
  stalled->socket().setReceiveBufferSize(4096);
  auto flooder = login("flooder");
  ASSERT_TRUE(flooder);
  auto halfway = connectClient();  // reads nothing and sends nothing
  ASSERT_TRUE(halfway);
  ASSERT_TRUE(waitUntil([&] { return server.connectionCount == 4; }));

  // More than the system buffers of the stalled reader's connection take: the rest waits in
  // its outbox, which the stop must not wait to empty. The flooder's echo to itself comes back
  // once the whole flood has been routed.
  server.transport.sendQueueBytes = 64 * 1024 * 1024;
  const std::string packet = wireImage("PRIV", "flooder", "stalled\xFC" + std::string(900, 'z') + "\xFD");
  for (int i = 0; i < 8000; ++i) ASSERT_TRUE(flooder->sendRaw(packet));
  ASSERT_TRUE(flooder->sendText("PRIV", "flooder\xFC" "echo", "flooder"));
  Packet echo;
  ASSERT_TRUE(flooder->skipTo("PRIV", echo, 20s));
  EXPECT_EQ(server.connectionCount, 4);

  const auto begun = Clock::now();
  ASSERT_TRUE(server.stop());
  EXPECT_LT(Clock::now() - begun, 2s);
  EXPECT_EQ(loggedInCount(), 0);
  EXPECT_EQ(server.connectionCount, 0);
  Packet notice;
  ASSERT_TRUE(idle->skipTo("MESS", notice));  // past the others' USER notices
  EXPECT_EQ(textOf(notice), "The server is shutting down!");
  EXPECT_EQ(idle->next(), "QUIT");
  EXPECT_TRUE(idle->closedByPeer());
  EXPECT_TRUE(halfway->closedByPeer());
}

TEST_F(ServiceControlTest, AUserWhoReadsLateAndStillSendsGetsTheStopNotice) {
  server.sendTimeoutMilliseconds = 10000;  // nobody is dropped for being slow here
  ASSERT_TRUE(startService());
  auto slow = login("slow");
  ASSERT_TRUE(slow);
  slow->socket().setReceiveBufferSize(65536);
  auto flooder = login("flooder");
  ASSERT_TRUE(flooder);
  // Far more than slow's window takes: most of it waits in the server, where the notice will
  // queue behind it. The flooder's echo to itself comes back once all of it has been written.
  const std::string packet = wireImage("PRIV", "flooder", "slow\xFC" + std::string(900, 'z') + "\xFD");
  for (int i = 0; i < 320; ++i) ASSERT_TRUE(flooder->sendRaw(packet));
  ASSERT_TRUE(flooder->sendText("PRIV", "flooder\xFC" "echo", "flooder"));
  Packet echo;
  ASSERT_TRUE(flooder->skipTo("PRIV", echo, 10s));

  std::thread stopping([this] { EXPECT_TRUE(server.stop()); });
  ASSERT_TRUE(waitUntil([&] { return server.gate.halting(); }));
  // Busy with a packet of its own while the stop begins, and a little late to read: its notice
  // is still owed, and nothing it sends may reset the connection under it.
  EXPECT_TRUE(slow->sendText("MESS", "still here", "slow"));
  std::this_thread::sleep_for(200ms);
  Packet received;
  const bool noticed = slow->skipTo("MESS", received, 3s);  // past the flood and USER notices
  stopping.join();
  ASSERT_TRUE(noticed);
  EXPECT_EQ(textOf(received), "The server is shutting down!");
  EXPECT_EQ(slow->next(), "QUIT");
}

TEST_F(ServiceControlTest, StopLeavesNoWorkerThreadOrDescriptorBehind) {
  // A sanitizer starts a helper thread with the first thread: let it join the baseline.
  std::thread([] {}).join();
  const int threadsBefore = threadCount();
  const int descriptorsBefore = openDescriptors();
  const int mutexesBefore = NamedMutexRegistry::liveEntries();
  ASSERT_TRUE(startService());
  {
    auto alice = login("alice");
    ASSERT_TRUE(alice);
    auto bob = login("bob");
    ASSERT_TRUE(bob);
    auto halfway = connectClient();
    ASSERT_TRUE(halfway);
    ASSERT_TRUE(waitUntil([&] { return server.connectionCount == 3; }));
    ASSERT_TRUE(alice->send("PRIV", "bob\xFC" "hi\xFD", "alice"));
    Packet packet;
    ASSERT_TRUE(bob->skipTo("PRIV", packet));
    ASSERT_TRUE(server.stop());
  }
  EXPECT_TRUE(waitUntil([&] { return threadCount() == threadsBefore; }, 2s))
      << threadCount() << " threads, " << threadsBefore << " before the start";
  EXPECT_TRUE(waitUntil([&] { return openDescriptors() == descriptorsBefore; }, 2s))
      << openDescriptors() << " descriptors, " << descriptorsBefore << " before the start";
  EXPECT_EQ(NamedMutexRegistry::liveEntries(), mutexesBefore);
}

}  // namespace
