// Many users logging in at the same moment: every one is admitted, and every one hears of every
// other exactly once, in its own user list (those admitted before it) or in a joined notice
// (those admitted after it), never inside its list and never twice. A newcomer's long list
// holds up nobody who writes to it, and the operator's terminate reaches it half-way through.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ServiceFixture.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

#ifndef _WIN32
constexpr int kUsers = 300;
#else
// Wine, which runs the Windows build's tests, passes every socket call of the 600 threads
// through one server process of its own: 300 users there take longer than the clients' and the
// server's time-outs allow, whatever the server does.
constexpr int kUsers = 100;
#endif

std::string nameOf(int index) { return "a" + std::to_string(1000 + index); }

// The names in a USER payload: entries split at ENTRY_SEP, each name up to its first FIELD_SEP.
std::vector<std::string> namesIn(const Packet& packet) {
  std::vector<std::string> names;
  const std::string text = textOf(packet);
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\xFE', at);
    if (end == std::string::npos) end = text.size();
    names.push_back(text.substr(at, text.find('\xFF', at) - at));
    at = end + 1;
  }
  return names;
}

// What one client learned about the others, and whatever went wrong for it.
struct Learned {
  std::map<std::string, int> times;
  std::string fault;
  int listParts = 0;
  std::chrono::steady_clock::time_point firstPart, lastPart;  // when the list's parts arrived
};

class AdmissionTest : public ServiceFixture {
 protected:
  AdmissionTest() : ServiceFixture(kUsers) {}

  // Logs in and reads its admission: SYID, the list in its parts, MCST and CONN, with any
  // joined notices after the list (and, when others may write to it, their messages). Returns
  // the client, or null with the fault set.
  std::unique_ptr<WireClient> logInRecording(const std::string& name, Learned& learned,
                                             bool othersMayWrite = false) {
    auto client = connectClient();
    if (!client || client->next(10s) != "HELO" || client->next(10s) != "LEVL:1" ||
        !client->sendText("USER", name)) {
      learned.fault = "no greeting";
      return nullptr;
    }
    // A user is found by name from its login on: what others write to it may come before its
    // SYID, between SYID and the list, or after the list, but never inside the list.
    Packet packet;
    auto readOutsideTheList = [&] {
      bool read = client->readPacket(packet, 10s);
      while (read && othersMayWrite && std::string(packet.type, 4) == "PRIV") {
        read = client->readPacket(packet, 10s);
      }
      return read;
    };
    if (!readOutsideTheList() || std::string(packet.type, 4) != "SYID") {
      learned.fault = "no SYID";
      return nullptr;
    }
    // The list: one part with sequence 0, or parts 1, 2, ... and the last numbered -1.
    for (bool more = true; more;) {
      const bool read =
          learned.listParts == 0 ? readOutsideTheList() : client->readPacket(packet, 10s);
      if (!read || std::string(packet.type, 4) != "USER") {
        learned.fault = "the list was interrupted";
        return nullptr;
      }
      learned.lastPart = std::chrono::steady_clock::now();
      if (learned.listParts++ == 0) learned.firstPart = learned.lastPart;
      more = packet.sequence > 0;
      if (packet.length > 0) {
        for (const std::string& other : namesIn(packet)) ++learned.times[other];
      }
    }
    while (client->readPacket(packet, 10s)) {
      const std::string type(packet.type, 4);
      if (type == "CONN") return client;
      if (type == "USER") {
        for (const std::string& other : namesIn(packet)) ++learned.times[other];
      } else if (type != "MCST" && !(othersMayWrite && type == "PRIV")) {
        learned.fault = "unexpected " + type;
        return nullptr;
      }
    }
    learned.fault = "no CONN";
    return nullptr;
  }

  // count users logged in at once, named by nameOf; false when any login failed.
  bool logInCrowd(int count, std::vector<std::unique_ptr<WireClient>>& clients) {
    clients.resize(count);
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) threads.emplace_back([&, i] { clients[i] = login(nameOf(i)); });
    for (auto& thread : threads) thread.join();
    for (int i = 0; i < count; ++i) {
      if (!clients[i]) return false;
    }
    return true;
  }
};

TEST_F(AdmissionTest, UsersLoggingInTogetherEachHearOfEveryOtherExactlyOnce) {
  ASSERT_TRUE(startService());
  std::vector<Learned> learned(kUsers);
  std::vector<std::unique_ptr<WireClient>> clients(kUsers);
  std::atomic<int> ready{0};
  std::atomic<bool> everyoneIn{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < kUsers; ++i) {
    threads.emplace_back([&, i] {
      const std::string name = nameOf(i);
      clients[i] = logInRecording(name, learned[i]);
      if (!clients[i]) {
        ++ready;
        return;
      }
      // Its own echo comes back once its session runs: its admission, and the notices it sent,
      // are done by then.
      const std::string echo = name + "\xFC" "in";
      if (!clients[i]->sendText("PRIV", echo, name)) learned[i].fault = "echo not sent";
      Packet packet;
      while (learned[i].fault.empty() && clients[i]->readPacket(packet, 10s)) {
        if (std::string(packet.type, 4) == "PRIV" && textOf(packet) == echo) break;
        if (std::string(packet.type, 4) != "USER") {
          learned[i].fault = "unexpected " + std::string(packet.type, 4);
        } else {
          for (const std::string& other : namesIn(packet)) ++learned[i].times[other];
        }
      }
      ++ready;
      // Once every admission is over, a barrier from everyone to everyone: what came before
      // it is all this client will hear.
      while (!everyoneIn) std::this_thread::sleep_for(1ms);
      const std::string barrier = "everyone\xFC" "barrier";
      while (learned[i].fault.empty() && clients[i]->readPacket(packet, 10s)) {
        const std::string type(packet.type, 4);
        if (type == "PRIV" && textOf(packet) == barrier) return;
        if (type != "USER") {
          learned[i].fault = "unexpected " + type;
        } else {
          for (const std::string& other : namesIn(packet)) ++learned[i].times[other];
        }
      }
      if (learned[i].fault.empty()) learned[i].fault = "no barrier";
    });
  }
  const bool allReady = waitUntil([&] { return ready == kUsers; }, 60s);
  bool barrierSent = false;
  if (allReady && clients[0]) {
    barrierSent = clients[0]->sendText("PRIV", "everyone\xFC" "barrier", nameOf(0));
  }
  everyoneIn = true;  // without a barrier, each thread's reads end at their time-out
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(allReady);
  ASSERT_TRUE(barrierSent);

  EXPECT_EQ(loggedInCount(), kUsers);
  for (int i = 0; i < kUsers; ++i) {
    const std::string who = nameOf(i);
    ASSERT_EQ(learned[i].fault, "") << who;
    EXPECT_EQ(learned[i].times.size(), static_cast<std::size_t>(kUsers - 1)) << who;
    for (const auto& [other, times] : learned[i].times) {
      EXPECT_NE(other, who) << who << " heard of itself";
      EXPECT_EQ(times, 1) << who << " heard of " << other << " " << times << " times";
    }
  }
}

TEST_F(AdmissionTest, ANewcomersLongListHoldsUpNoOneWhoWritesToIt) {
  ASSERT_TRUE(startService());
  // A crowd already in, so that a newcomer's list goes out in many parts, a pause after each.
  std::vector<std::unique_ptr<WireClient>> crowd;
  ASSERT_TRUE(logInCrowd(kUsers - 3, crowd));
  auto ping = admitted("ping");
  auto pong = admitted("pong");
  ASSERT_TRUE(ping && pong);

  // While the newcomer's list goes out, ping writes to it and exchanges messages with pong:
  // neither waits for the list. What ping writes to the newcomer waits behind the list and
  // counts toward its send queue, so it writes a bounded amount (50 KB of 256 KiB).
  std::atomic<bool> admittedLate{false};
  Learned learned;
  std::unique_ptr<WireClient> late;
  std::thread newcomer([&] {
    late = logInRecording("late", learned, true);
    admittedLate = true;
  });
  using Clock = std::chrono::steady_clock;
  std::vector<std::pair<Clock::time_point, Clock::time_point>> exchanges;
  for (int round = 0; !admittedLate && round < 10000; ++round) {
    if (round < 1000) {
      ASSERT_TRUE(ping->sendText("PRIV", "late\xFC" "hello", "ping"));
    }
    const auto begun = Clock::now();
    ASSERT_TRUE(ping->sendText("PRIV", "pong\xFC" + std::to_string(round), "ping"));
    Packet packet;
    ASSERT_TRUE(pong->skipTo("PRIV", packet));
    ASSERT_EQ(textOf(packet), "pong\xFC" + std::to_string(round));
    exchanges.emplace_back(begun, Clock::now());
  }
  newcomer.join();
  ASSERT_TRUE(late) << learned.fault;
  ASSERT_GE(learned.listParts, 8);
  // A list that held its writers up would hold ping from its first write to the newcomer until
  // the list's end: no exchange, or one begun before the list, would fit between its first and
  // last parts. Counting exchanges rather than bounding the slowest leaves a loaded machine's
  // odd stall of a thread out of the verdict.
  int inList = 0;
  auto slowest = Clock::duration::zero();
  for (const auto& [begun, ended] : exchanges) {
    if (begun >= learned.firstPart && ended <= learned.lastPart) ++inList;
    slowest = std::max(slowest, ended - begun);
  }
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  EXPECT_GE(inList, 3) << inList << " exchanges while the list went out (" << learned.listParts
                       << " parts in "
                       << duration_cast<milliseconds>(learned.lastPart - learned.firstPart).count()
                       << " ms; " << exchanges.size() << " exchanges, the slowest "
                       << duration_cast<milliseconds>(slowest).count() << " ms)";
}

TEST_F(AdmissionTest, ANewcomerTerminatedWhileItsListGoesOutIsToldSo) {
  ASSERT_TRUE(startService());
  std::vector<std::unique_ptr<WireClient>> crowd;
  ASSERT_TRUE(logInCrowd(kUsers - 3, crowd));
  auto late = greeted();
  ASSERT_TRUE(late);
  ASSERT_TRUE(late->sendText("USER", "late"));
  Packet packet;
  ASSERT_TRUE(late->skipTo("USER", packet));
  ASSERT_GT(packet.sequence, 0) << "a list in parts, its pauses still to come";

  // The operator terminates the newcomer between two parts of its list: the notice and the
  // QUIT reach it after the parts sent so far, and nothing else.
  EXPECT_EQ(server.terminateUser("late"), 1);
  while (late->readPacket(packet) && std::string(packet.type, 4) == "USER") {
  }
  EXPECT_EQ(std::string(packet.type, 4), "MESS");
  EXPECT_EQ(textOf(packet), "Connection terminated by server.");
  EXPECT_EQ(late->next(), "QUIT");
  EXPECT_TRUE(late->closedByPeer());
  EXPECT_TRUE(waitUntil([&] { return !isLoggedIn("late"); }, 5s));
}

}  // namespace
