// A bounded soak of a full service: rounds of 25 users who log in, send one another a few
// thousand private messages while everyone reads, and leave. Nothing may be lost, and every
// connection, descriptor, thread and mutex the rounds took must be given back.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ProcessCounts.h"
#include "ServiceFixture.h"
#include "WireClient.h"
#include "platform/NamedMutexRegistry.h"
#include "protocol/Packet.h"

namespace {

constexpr int kUsers = 25;
constexpr int kRounds = 3;
// Each user sends this many messages, spread evenly over the 24 others.
constexpr int kMessagesPerSender = 5 * (kUsers - 1);
constexpr int kMessagesPerRecipient = kMessagesPerSender;
// The longest any single wait may take; the whole test takes a small part of it.
constexpr auto kWaitBound = std::chrono::seconds(10);

std::string userName(int index) {
  char text[8];
  std::snprintf(text, sizeof text, "u%02d", index);
  return text;
}

// The unique id in a message's body: round, sender, sequence number.
std::string messageId(int round, int sender, int sequence) {
  return "r" + std::to_string(round) + "-" + userName(sender) + "-" + std::to_string(sequence);
}

int recipientOf(int sender, int sequence) { return (sender + 1 + sequence % (kUsers - 1)) % kUsers; }

// True when the server ends the connection and sends nothing more before it. A reset counts
// as an end: a stop may close a connection whose last packets the worker never read.
bool closesWithoutAnotherByte(WireClient& client) {
  const auto bound = std::chrono::duration_cast<std::chrono::seconds>(kWaitBound).count();
  if (!client.socket().waitReadable(static_cast<long>(bound), 0)) return false;
  char byte;
  return client.socket().receive(&byte, 1, 0) <= 0;
}

// What one user's reader saw, from the start of its reading until the server closed.
struct Inbox {
  std::atomic<int> messages{0};
  std::vector<std::string> ids;  // message ids, in arrival order
  std::vector<std::string> faults;
  bool sawQuit = false;
  bool closed = false;
};

// Reads every packet for the user until the server's QUIT and the close that follows it.
void readUntilClosed(WireClient& client, const std::string& name, Inbox& inbox) {
  const std::string prefix = name + "\xFC";
  Packet packet;
  while (client.readPacket(packet, kWaitBound)) {
    const std::string type(packet.type, 4);
    if (type == "QUIT") {
      inbox.sawQuit = true;
      inbox.closed = closesWithoutAnotherByte(client);
      return;
    }
    if (type == "USER" || type == "GONE") continue;
    if (type != "PRIV") {
      inbox.faults.push_back("unexpected " + type + ": " + textOf(packet));
      continue;
    }
    const std::string text = textOf(packet);
    if (text.rfind(prefix, 0) != 0) {
      inbox.faults.push_back("message for someone else: " + text);
      continue;
    }
    // Routing forwards the packet unchanged: the header still names whoever sent the body.
    const std::string id = text.substr(prefix.size());
    const std::string sender(packet.senderName, strnlen(packet.senderName, sizeof packet.senderName));
    if (id.find("-" + sender + "-") == std::string::npos) {
      inbox.faults.push_back("message " + id + " from " + sender);
    }
    inbox.ids.push_back(id);
    inbox.messages.fetch_add(1);
  }
  inbox.faults.push_back("connection ended or stalled before the server's QUIT");
}

class SoakTest : public ServiceFixture {
 public:
  // The fixture's login, for client threads.
  std::unique_ptr<WireClient> loginFromThread(const std::string& name) { return login(name); }

 protected:
  SoakTest() : ServiceFixture(kUsers), mutexesOfTheServer(NamedMutexRegistry::liveEntries()) {}

  // What the stopped server holds open: its own kept-open mutexes.
  const int mutexesOfTheServer;

  // One round; returns when everyone has left and been checked.
  void runRound(int round) {
    std::vector<std::unique_ptr<WireClient>> clients;
    for (int i = 0; i < kUsers; ++i) {
      clients.push_back(login(userName(i)));
      ASSERT_TRUE(clients.back()) << "round " << round << ", user " << i;
    }
    std::vector<Inbox> inboxes(kUsers);
    std::vector<std::thread> readers;
    for (int i = 0; i < kUsers; ++i) {
      readers.emplace_back(readUntilClosed, std::ref(*clients[i]), userName(i),
                           std::ref(inboxes[i]));
    }

    std::atomic<int> failedSends{0};
    std::vector<std::thread> senders;
    for (int i = 0; i < kUsers; ++i) {
      senders.emplace_back([&, i] {
        for (int n = 0; n < kMessagesPerSender; ++n) {
          const std::string payload =
              userName(recipientOf(i, n)) + "\xFC" + messageId(round, i, n) + "\xFD";
          if (!clients[i]->send("PRIV", payload, userName(i))) failedSends.fetch_add(1);
        }
      });
    }
    for (auto& sender : senders) sender.join();
    EXPECT_EQ(failedSends.load(), 0);

    bool delivered = waitUntil(
        [&] {
          for (const Inbox& inbox : inboxes) {
            if (inbox.messages.load() < kMessagesPerRecipient) return false;
          }
          return true;
        },
        kWaitBound);
    EXPECT_TRUE(delivered) << "round " << round;

    for (int i = 0; i < kUsers; ++i) EXPECT_TRUE(clients[i]->send("QUIT", "", userName(i)));
    for (auto& reader : readers) reader.join();

    for (int r = 0; r < kUsers; ++r) {
      const Inbox& inbox = inboxes[r];
      const std::string who = "round " + std::to_string(round) + ", " + userName(r);
      EXPECT_TRUE(inbox.faults.empty()) << who << ": " << inbox.faults.front();
      EXPECT_TRUE(inbox.sawQuit) << who;
      EXPECT_TRUE(inbox.closed) << who;
      std::set<std::string> expected;
      for (int s = 0; s < kUsers; ++s) {
        for (int n = 0; n < kMessagesPerSender; ++n) {
          if (recipientOf(s, n) == r) expected.insert(messageId(round, s, n));
        }
      }
      const std::set<std::string> received(inbox.ids.begin(), inbox.ids.end());
      EXPECT_EQ(inbox.ids.size(), received.size()) << who << ": a message came twice";
      EXPECT_EQ(received, expected) << who;
    }
  }
};

TEST_F(SoakTest, RoundsOfLoginTrafficAndQuitLoseNothingAndLeakNothing) {
  // A first thread, so that any helper thread a runtime (a sanitizer) starts with the first
  // one is already counted in the baseline.
  std::thread([] {}).join();
  const int threadsBeforeStart = threadCount();
  const int descriptorsBeforeStart = openDescriptors();
  ASSERT_TRUE(startService());
  // Every worker is up and waiting once capacity + 1 threads (and the notices' flusher and the
  // session loop) have joined the process.
  ASSERT_TRUE(waitUntil([&] { return threadCount() == threadsBeforeStart + kUsers + 3; },
                        kWaitBound));
  const int threadsRunning = threadCount();
  // A running service holds its listener, the session loop's wake-up pair and poller (no
  // system object on Windows), and nothing else; the wait rides out a stray connection from
  // elsewhere on the machine that could otherwise inflate the baseline.
#ifdef _WIN32
  constexpr int kLoopHandles = 2;
#else
  constexpr int kLoopHandles = 3;
#endif
  ASSERT_TRUE(waitUntil(
      [&] { return openDescriptors() == descriptorsBeforeStart + 1 + kLoopHandles; },
                        kWaitBound))
      << openDescriptors() << " descriptors, " << descriptorsBeforeStart << " before the start";
  // From the first login on, the connection log stays open too.
  const int descriptorsRunning = descriptorsBeforeStart + 2 + kLoopHandles;
  // The server keeps its users, connections and accept mutexes open for its whole life, and a
  // send lock per slot while the service runs; everything else is taken and dropped per
  // operation, so an idle service settles back to those.
  const int idleMutexes = mutexesOfTheServer + kUsers + 1;
  auto mutexesSettle = [idleMutexes] {
    return waitUntil([idleMutexes] { return NamedMutexRegistry::liveEntries() == idleMutexes; },
                     kWaitBound);
  };
  ASSERT_TRUE(mutexesSettle()) << NamedMutexRegistry::liveEntries() << " named mutexes";

  for (int round = 1; round <= kRounds; ++round) {
    runRound(round);
    if (HasFatalFailure()) return;
    // The server's ends are closed after its QUIT reached the client: poll for them.
    EXPECT_TRUE(waitUntil([&] { return server.connectionCount == 0; }, kWaitBound))
        << "round " << round << ": " << server.connectionCount << " connections left";
    EXPECT_EQ(loggedInCount(), 0) << "round " << round;
    EXPECT_TRUE(waitUntil([&] { return openDescriptors() == descriptorsRunning; }, kWaitBound))
        << "round " << round << ": " << openDescriptors() << " descriptors, "
        << descriptorsRunning << " before";
    // Polled: a runtime may keep a helper thread of its own a moment after a burst (Wine does).
    EXPECT_TRUE(waitUntil([&] { return threadCount() == threadsRunning; }, kWaitBound))
        << "round " << round << ": " << threadCount() << " threads, " << threadsRunning;
    EXPECT_TRUE(mutexesSettle()) << "round " << round << ": "
                                 << NamedMutexRegistry::liveEntries() << " named mutexes";
  }

  ASSERT_TRUE(server.stop());
  EXPECT_TRUE(waitUntil([&] { return threadCount() == threadsBeforeStart; }, kWaitBound))
      << threadCount() << " threads, " << threadsBeforeStart << " before the start";
  EXPECT_EQ(openDescriptors(), descriptorsBeforeStart);
  EXPECT_EQ(NamedMutexRegistry::liveEntries(), mutexesOfTheServer);

  // Every session was logged in and out, and nothing went wrong enough to be reported.
  const std::string connections = dir.read("connectionlog");
  int connects = 0;
  int disconnects = 0;
  for (std::size_t at = 0; at < connections.size();) {
    if (connections.compare(at, 9, "Connect: ") == 0) ++connects;
    if (connections.compare(at, 12, "Disconnect: ") == 0) ++disconnects;
    std::size_t end = connections.find('\n', at);
    at = end == std::string::npos ? connections.size() : end + 1;
  }
  EXPECT_EQ(connects, kUsers * kRounds);
  EXPECT_EQ(disconnects, kUsers * kRounds);
  EXPECT_EQ(dir.read(".servererrors"), "");
}

// What one client of a stopping service saw after its login.
struct StopWitness {
  bool loggedIn = false;
  bool sawNotice = false;
  bool sawQuit = false;
  bool closed = false;
  std::string fault;
};

// Logs in, sends a burst to everyone and reads until the stop ends the connection.
void chatUntilStopped(SoakTest* test, const std::string& name, StopWitness& witness) {
  std::unique_ptr<WireClient> client = test->loginFromThread(name);
  if (!client) return;  // the stop came first
  witness.loggedIn = true;
  for (int n = 0; n < 20; ++n) {
    if (!client->send("PRIV", "everyone\xFC" + name + " " + std::to_string(n) + "\xFD", name)) {
      break;
    }
  }
  Packet packet;
  while (client->readPacket(packet, kWaitBound)) {
    const std::string type(packet.type, 4);
    if (witness.sawNotice) {
      if (type != "QUIT") {
        witness.fault = "after the notice: " + type;
        return;
      }
      witness.sawQuit = true;
      witness.closed = closesWithoutAnotherByte(*client);
      return;
    }
    if (type == "MESS") {
      const std::string text = textOf(packet);
      if (text != "The server is shutting down!") {
        witness.fault = "unexpected MESS: " + text;
        return;
      }
      witness.sawNotice = true;
    } else if (type != "PRIV" && type != "USER" && type != "GONE") {
      witness.fault = "unexpected " + type;
      return;
    }
  }
  // Whoever saw CONN was in the registry before the stop looked: the notice was owed.
  if (!witness.sawNotice) witness.fault = "ended without the shutdown notice";
}

TEST_F(SoakTest, StopDuringLoginsAndTrafficLeavesNothingBehind) {
  constexpr int kCycles = 5;
  constexpr int kClients = 12;
  std::thread([] {}).join();  // any runtime helper thread joins the baseline
  const int threadsBeforeStart = threadCount();
  const int descriptorsBeforeStart = openDescriptors();

  for (int cycle = 1; cycle <= kCycles; ++cycle) {
    ASSERT_TRUE(startService()) << "cycle " << cycle;
    std::vector<StopWitness> witnesses(kClients);
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
      clients.emplace_back(chatUntilStopped, this, userName(i), std::ref(witnesses[i]));
    }
    // Stop with half of them in, the rest still connecting or logging in, messages in flight.
    EXPECT_TRUE(waitUntil([&] { return loggedInCount() >= kClients / 2; }, kWaitBound));
    const auto stopBegan = std::chrono::steady_clock::now();
    EXPECT_TRUE(server.stop());  // the client threads must be joined whatever happens
    EXPECT_LT(std::chrono::steady_clock::now() - stopBegan, std::chrono::seconds(2));
    for (auto& client : clients) client.join();

    for (int i = 0; i < kClients; ++i) {
      const StopWitness& witness = witnesses[i];
      const std::string who = "cycle " + std::to_string(cycle) + ", " + userName(i);
      EXPECT_EQ(witness.fault, "") << who;
      if (!witness.loggedIn) continue;
      EXPECT_TRUE(witness.sawNotice) << who;
      EXPECT_TRUE(witness.sawQuit) << who;
      EXPECT_TRUE(witness.closed) << who;
    }
    EXPECT_EQ(loggedInCount(), 0);
    EXPECT_EQ(server.connectionCount, 0);
    EXPECT_EQ(threadCount(), threadsBeforeStart) << "cycle " << cycle;
    EXPECT_EQ(openDescriptors(), descriptorsBeforeStart) << "cycle " << cycle;
  }
  EXPECT_EQ(NamedMutexRegistry::liveEntries(), mutexesOfTheServer);
}

}  // namespace
