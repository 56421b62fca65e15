// msgbench end to end: every scenario against the real server binary, briefly, where nothing
// may be lost; against a stand-in server that swallows messages, where msgbench must say so and
// fail; against one that never greets, which must be reported within the login time; and with a
// second server standing in for the reference relay. Its options and its comparison of two
// reports are tested directly.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchOptions.h"
#include "ChildProcess.h"
#include "LatencyHistogram.h"
#include "ScenarioReport.h"
#include "ServiceFixture.h"
#include "TempDir.h"
#include "UserGroup.h"
#include "WireClient.h"
#include "platform/ServerSocket.h"
#include "platform/System.h"

namespace {

const std::string kBench = MSGSERVER_BUILD_DIR "/msgbench";
constexpr auto kBenchTime = std::chrono::seconds(45);

// A server that greets and admits anyone, then reads and drops whatever its clients send,
// answering only QUIT: every message sent through it is lost.
class SwallowingServer {
 public:
  SwallowingServer() : listener_(0, "127.0.0.1", 16) {
    if (!listener_.open()) return;
    port = listener_.boundPort();
    thread_ = std::thread([this] { serve(); });
  }
  ~SwallowingServer() {
    stopping_ = true;
    listener_.shutdownBoth();
    if (thread_.joinable()) thread_.join();
    for (auto& client : clients_) client.join();
  }

  std::uint16_t port = 0;

 private:
  void serve() {
    while (!stopping_) {
      SocketHandle handle = listener_.accept(nullptr);
      if (handle == 0) return;
      clients_.emplace_back([this, handle] {
        WireClient client(std::make_unique<StreamSocket>(handle));
        client.send("HELO", "");
        client.sendText("LEVL", "1");
        Packet packet;
        if (!client.readPacket(packet) || std::string(packet.type, 4) != "USER") return;
        client.send("CONN", "");
        while (!stopping_) {
          const int ready = client.socket().waitForData(100);
          if (ready < 0 || (ready > 0 && !client.readPacket(packet))) return;
          if (ready > 0 && std::string(packet.type, 4) == "QUIT") {
            client.send("QUIT", "");
            return;
          }
        }
      });
    }
  }

  ServerSocket listener_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::vector<std::thread> clients_;
};

class MsgBenchTest : public ::testing::Test {
 protected:
  // The real server with room for `capacity` users, started at its console in a folder of its
  // own (several may run at once); its port in *serverPort (port by default).
  std::unique_ptr<ChildProcess> startServer(int capacity = 30, std::uint16_t* serverPort = nullptr,
                                            const std::string& folder = "server") {
    if (serverPort == nullptr) serverPort = &port;
    *serverPort = freeLoopbackPort();
    std::filesystem::create_directories(dir.path() / folder);
    dir.write(folder + "/.serverrc", "port " + std::to_string(*serverPort) + "\nlisten " + host +
                                         "\ncapacity " + std::to_string(capacity) +
                                         "\nmcastaddress 239.1.2.3\n");
    auto server = std::make_unique<ChildProcess>(MSGSERVER_BINARY, std::vector<std::string>{},
                                                 (dir.path() / folder).string());
    EXPECT_TRUE(server->started());
    server->write("S\n");
    EXPECT_TRUE(server->waitFor("Server started.")) << server->output();
    return server;
  }

  std::unique_ptr<ChildProcess> runBench(const std::string& at,
                                         const std::vector<std::string>& arguments) {
    std::vector<std::string> all = {"--host", at};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return std::make_unique<ChildProcess>(kBench, all, dir.path().string());
  }

  TempDir dir;
  std::string host = "127.0.0.1";  // where the server listens
  std::uint16_t port = 0;
};

TEST_F(MsgBenchTest, EveryScenarioLosesNothingThroughTheRealServer) {
  auto server = startServer();
  std::vector<std::string> arguments = {"--port", std::to_string(port), "--duration", "0.2",
                                        "--users", "25"};
#ifndef _WIN32  // the server's processor time is read from /proc
  arguments.insert(arguments.end(), {"--server-pid", std::to_string(server->pid())});
#endif
  auto bench = runBench(host, arguments);
  ASSERT_EQ(bench->waitExit(kBenchTime), 0) << bench->output();
  const std::string& out = bench->output();
  for (const char* scenario :
       {"direct:", "pingpong:", "throughput:", "fanout:", "connect:", "logins:", "loginstorm:"}) {
    EXPECT_NE(out.find(std::string("\n") + scenario + "\n"), std::string::npos) << scenario;
  }
  EXPECT_NE(out.find(", 0 lost"), std::string::npos) << out;
  EXPECT_NE(out.find(", 0 deliveries lost"), std::string::npos) << out;
  EXPECT_NE(out.find("us per delivered message"), std::string::npos) << out;
  EXPECT_EQ(out.find("PROBLEM"), std::string::npos) << out;
  server->write("Q\n");
  EXPECT_EQ(server->waitExit(), 0);
}

TEST_F(MsgBenchTest, MessagesThatNeverArriveMakeTheRunFail) {
  SwallowingServer swallowing;
  ASSERT_NE(swallowing.port, 0);
  auto bench = runBench(
      "127.0.0.1", {"--port", std::to_string(swallowing.port), "--scenario", "pingpong,throughput",
                    "--users", "3", "--window", "2", "--duration", "0.2"});
  EXPECT_EQ(bench->waitExit(kBenchTime), 1) << bench->output();
  EXPECT_NE(bench->output().find("PROBLEM: the last message or its answer never arrived"),
            std::string::npos)
      << bench->output();
  EXPECT_NE(bench->output().find("PROBLEM: 6 messages never arrived"), std::string::npos)
      << bench->output();
}

TEST_F(MsgBenchTest, APairWhoseMessagesNeverComeBackCountsThemAsWaitingNotAsNothing) {
  SwallowingServer swallowing;
  ASSERT_NE(swallowing.port, 0);
  auto bench = runBench("127.0.0.1", {"--port", std::to_string(swallowing.port), "--scenario",
                                      "loginstorm", "--users", "5", "--duration", "0.2"});
  EXPECT_EQ(bench->waitExit(kBenchTime), 1) << bench->output();
  const std::string& out = bench->output();
  EXPECT_NE(out.find("5 users, every connect issued at once: all logged in"), std::string::npos)
      << out;
  // Every message ping sent is still waiting: each counts, none is left out of the p50.
  EXPECT_NE(out.find("never answered, counted with the time they had waited"), std::string::npos)
      << out;
  EXPECT_EQ(out.find("round trip during the storm: p50 0.0 ms"), std::string::npos) << out;
  EXPECT_NE(out.find("of the pair's messages or their answers never arrived"), std::string::npos)
      << out;
}

TEST_F(MsgBenchTest, AServerPidThatDoesNotServeThePortIsRefusedBeforeMeasuring) {
#ifdef _WIN32
  GTEST_SKIP() << "--server-pid reads the server's ports and processor time from /proc, which "
                  "Windows does not have";
#endif
  auto server = startServer();
  // This test process is alive but is not the server: its figures would be figures of nothing.
  auto bench =
      runBench(host, {"--port", std::to_string(port), "--scenario", "pingpong", "--duration", "0.2",
                      "--server-pid", std::to_string(currentProcessId())});
  EXPECT_EQ(bench->waitExit(kBenchTime), 2) << bench->output();
  EXPECT_NE(bench->output().find("does not listen on port " + std::to_string(port)),
            std::string::npos)
      << bench->output();
  server->write("Q\n");
  EXPECT_EQ(server->waitExit(), 0);
}

TEST_F(MsgBenchTest, NoServerListeningIsAFailureNotAnEmptySuccess) {
  auto bench = runBench("127.0.0.1", {"--port", std::to_string(freeLoopbackPort()), "--scenario",
                                      "pingpong", "--duration", "0.2"});
  EXPECT_EQ(bench->waitExit(kBenchTime), 1) << bench->output();
  EXPECT_NE(bench->output().find("PROBLEM"), std::string::npos) << bench->output();
}

TEST_F(MsgBenchTest, FiftyUsersLogInAtOnceAndLoseNothingInEveryScenarioOfUsers) {
  auto server = startServer(60);
  std::vector<std::string> arguments = {"--port",     std::to_string(port),
                                        "--duration", "0.2",
                                        "--users",    "50",
                                        "--scenario", "throughput,fanout,logins,loginstorm"};
#ifdef _WIN32
  auto bench = runBench(host, arguments);
#else
  // 52 connections at once do not fit under a soft limit of 40 handles: msgbench raises it.
  arguments.insert(arguments.begin(),
                   {"-c", "ulimit -S -n 40 && exec \"$0\" \"$@\"", kBench, "--host", host});
  auto bench = std::make_unique<ChildProcess>("/bin/sh", arguments, dir.path().string());
#endif
  ASSERT_EQ(bench->waitExit(kBenchTime), 0) << bench->output();
  const std::string& out = bench->output();
  EXPECT_NE(out.find("50 users, every connect issued at once: all logged in"), std::string::npos)
      << out;
  EXPECT_NE(out.find("round trip during the storm: p50"), std::string::npos) << out;
  EXPECT_NE(out.find("the senders took turns: at most 200 messages under way"), std::string::npos)
      << out;
  EXPECT_EQ(out.find("PROBLEM"), std::string::npos) << out;
  server->write("Q\n");
  EXPECT_EQ(server->waitExit(), 0);
}

TEST_F(MsgBenchTest, AServerThatNeverGreetsIsReportedOnceTheLoginTimeIsUp) {
  // Listens but never accepts: the connections complete in its queue and hear nothing.
  ServerSocket silent(0, "127.0.0.1", 16);
  ASSERT_TRUE(silent.open());
  const auto started = std::chrono::steady_clock::now();
  auto bench = runBench("127.0.0.1", {"--port", std::to_string(silent.boundPort()), "--scenario",
                                      "logins,loginstorm", "--users", "5", "--login-seconds", "1"});
  EXPECT_EQ(bench->waitExit(kBenchTime), 1) << bench->output();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
  EXPECT_NE(bench->output().find("PROBLEM: only 0 of 5 users logged in within 1 s"),
            std::string::npos)
      << bench->output();
  EXPECT_NE(bench->output().find("PROBLEM: only 0 of 2 users logged in within 1 s"),
            std::string::npos)
      << bench->output();
}

TEST_F(MsgBenchTest, ASecondServerStandsInForTheRelayAndEveryFigureGetsItsRatio) {
  auto server = startServer(30);
  std::uint16_t otherPort = 0;
  auto other = startServer(30, &otherPort, "other");
  std::vector<std::string> arguments = {"--port",         std::to_string(port),
                                        "--compare-port", std::to_string(otherPort),
                                        "--compare-host", host,
                                        "--scenario",     "direct,pingpong,logins",
                                        "--users",        "10",
                                        "--duration",     "0.2"};
#ifndef _WIN32
  arguments.insert(arguments.end(), {"--server-pid", std::to_string(server->pid()), "--compare-pid",
                                     std::to_string(other->pid())});
#endif
  auto bench = runBench(host, arguments);
  ASSERT_EQ(bench->waitExit(kBenchTime), 0) << bench->output();
  const std::string& out = bench->output();
  EXPECT_EQ(out.find("direct against the relay:"), std::string::npos) << out;
  EXPECT_NE(out.find("\npingpong against the relay:\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\npingpong, this server / the relay:\n  rate "), std::string::npos) << out;
  EXPECT_NE(out.find("\nlogins, this server / the relay (its login is cheaper"), std::string::npos)
      << out;
#ifndef _WIN32
  EXPECT_NE(out.find("  server CPU per message "), std::string::npos) << out;
#endif
  server->write("Q\n");
  other->write("Q\n");
  EXPECT_EQ(server->waitExit(), 0);
  EXPECT_EQ(other->waitExit(), 0);
}

#ifndef _WIN32  // Windows counts no sockets against a per-process limit
TEST_F(MsgBenchTest, UsersBeyondTheHardHandleLimitAreRefusedBeforeConnecting) {
  auto bench = std::make_unique<ChildProcess>(
      "/bin/sh",
      std::vector<std::string>{"-c", "ulimit -S -n 200 && ulimit -H -n 200 && exec \"$0\" \"$@\"",
                               kBench, "--host", "127.0.0.1", "--port",
                               std::to_string(freeLoopbackPort()), "--scenario", "logins",
                               "--users", "1000"},
      dir.path().string());
  EXPECT_EQ(bench->waitExit(kBenchTime), 2) << bench->output();
  EXPECT_NE(bench->output().find("may have only 200 (hard limit 200); raise it (ulimit -n)"),
            std::string::npos)
      << bench->output();
}
#endif

// The command line, read in the test process.
class MsgBenchOptionsTest : public ::testing::Test {
 protected:
  // Parses "msgbench" plus the arguments (on loopback, so that no name is looked up).
  bool parse(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"msgbench", "--host", "127.0.0.1"});
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    options = BenchOptions();
    error.clear();
    return options.parse(static_cast<int>(argv.size()), argv.data(), &error);
  }

  BenchOptions options;
  std::string error;
};

TEST_F(MsgBenchOptionsTest, UsersGoUpToTheLargestCapacityAndNoFurther) {
  EXPECT_TRUE(parse({"--users", "1000"})) << error;
  EXPECT_EQ(options.users, 1000);
  EXPECT_FALSE(parse({"--users", "1001"}));
  EXPECT_EQ(error, "bad value for --users: 1001");
  EXPECT_FALSE(parse({"--users", "1"}));
}

TEST_F(MsgBenchOptionsTest, TheComparisonNeedsAPortOtherThanTheServersOwn) {
  EXPECT_FALSE(parse({"--compare-pid", "123"}));
  EXPECT_EQ(error, "--compare-pid needs --compare-port");
  EXPECT_FALSE(parse({"--port", "5412", "--compare-port", "5412"}));
  EXPECT_EQ(error, "--compare-port names the server being measured itself");
  EXPECT_FALSE(parse({"--compare-port", "0"}));
  EXPECT_FALSE(parse({"--compare-port", "5413", "--compare-host", "relay.example"}));
  EXPECT_TRUE(parse({"--port", "5412", "--compare-port", "5413", "--compare-pid", "77"})) << error;
  const BenchOptions relay = options.comparisonTarget();
  EXPECT_EQ(relay.host, "127.0.0.1");
  EXPECT_EQ(relay.port, 5413);
  EXPECT_EQ(relay.serverPid, 77);
  EXPECT_FALSE(relay.comparing() && relay.port == options.port);
}

TEST_F(MsgBenchOptionsTest, TheLoginTimeGrowsWithTheUsersUnlessGiven) {
  ASSERT_TRUE(parse({}));
  EXPECT_EQ(options.loginSeconds(25), 15.0);
  EXPECT_EQ(options.loginSeconds(1000), 60.0);
  ASSERT_TRUE(parse({"--login-seconds", "2.5"}));
  EXPECT_EQ(options.loginSeconds(1000), 2.5);
  EXPECT_FALSE(parse({"--login-seconds", "0"}));
}

TEST_F(MsgBenchOptionsTest, TheHandlesNeededFollowTheLargestScenarioChosen) {
  ASSERT_TRUE(parse({"--users", "1000", "--scenario", "direct,connect", "--workers", "40"}));
  EXPECT_EQ(options.connectionsNeeded(), 40);
  ASSERT_TRUE(parse({"--users", "1000", "--scenario", "pingpong,loginstorm"}));
  EXPECT_EQ(options.connectionsNeeded(), 1002);  // the storm beside ping and pong
}

TEST(MsgBenchNamesTest, NumberedNamesStayDistinctAndFitEightCharacters) {
  EXPECT_EQ(UserGroup::numberedNames("t", 25).back(), "t25");
  const std::vector<std::string> hundred = UserGroup::numberedNames("t", 100);
  EXPECT_EQ(hundred.front(), "t001");
  EXPECT_EQ(hundred.back(), "t100");
  const std::vector<std::string> thousand = UserGroup::numberedNames("s", 1000);
  EXPECT_EQ(thousand.front(), "s0001");
  EXPECT_EQ(thousand.back(), "s1000");
  // Sorted as text and without repeats: no two users share a name.
  for (std::size_t i = 1; i < thousand.size(); ++i) EXPECT_LT(thousand[i - 1], thousand[i]);
}

TEST(MsgBenchComparisonTest, RatiosAreThisServersOverTheOthersAndOnlyForCleanRuns) {
  LatencyHistogram fast, slow;
  for (int i = 0; i < 100; ++i) {
    fast.record(100000);  // 100 us
    slow.record(300000);
  }
  ScenarioReport server("throughput"), relay("throughput");
  server.keep(50000, "delivered/s", slow);
  relay.keep(200000, "delivered/s", fast);
  const auto printed = [&](const ScenarioReport& mine) {
    std::FILE* out = std::tmpfile();
    if (out == nullptr) return std::string();
    mine.printComparison(out, relay, "the relay", nullptr);
    std::rewind(out);
    std::string text;
    char chunk[256];
    while (std::fgets(chunk, sizeof chunk, out) != nullptr) text += chunk;
    std::fclose(out);
    return text;
  };
  const std::string text = printed(server);
  EXPECT_NE(text.find("  rate 0.25 (50000 / 200000 delivered/s)"), std::string::npos) << text;
  EXPECT_NE(text.find("  latency p50 3.01 ("), std::string::npos) << text;
  server.problem("12 messages never arrived");
  EXPECT_NE(printed(server).find("no ratios: this server had problems"), std::string::npos);
}

}  // namespace
