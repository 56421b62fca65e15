// msgbench end to end: every scenario against the real server binary, briefly, where nothing
// may be lost; and against a stand-in server that swallows messages, where msgbench must say
// so and fail.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "ServiceFixture.h"
#include "TempDir.h"
#include "WireClient.h"
#include "platform/Network.h"
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
  void SetUp() override {
    // The server listens where this machine's name points; the test stays on loopback.
    char own[16] = "";
    if (!resolveOwnAddress(own) || (networkToHost32(convertAddress(own)) >> 24) != 127) {
      GTEST_SKIP() << "this machine's name does not resolve to a loopback address";
    }
    host = own;
  }

  // The real server with room for 30 users, started at its console.
  std::unique_ptr<ChildProcess> startServer() {
    port = freeLoopbackPort();
    dir.write(".serverrc",
              "port " + std::to_string(port) + "\ncapacity 30\nmcastaddress 239.1.2.3\n");
    auto server = std::make_unique<ChildProcess>(MSGSERVER_BINARY, std::vector<std::string>{},
                                                 dir.path().string());
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
  std::string host;
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
  for (const char* scenario : {"direct:", "pingpong:", "throughput:", "fanout:", "connect:"}) {
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

}  // namespace
