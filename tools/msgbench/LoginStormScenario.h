// LoginStormScenario: the round trip of a pair already logged in while N others log in at
// once. "ping" and "pong" log in; ping sends pong a message every millisecond, whether or not
// the earlier ones are back, and pong answers each at once: first for the measuring time with
// no one else about (the quiet round trip), then while N users ("s0001"...) connect together
// and log in. A round trip whose answer arrives while the storm lasts is the storm's. Because
// the messages leave on a clock and not one after the other, a server that holds the pair up
// for a second shows in a thousand round trips, not in one. Reports both round trips, the
// storm's duration and the logins' times, and the server's processor time per login of the
// storm.
// The pair runs on a thread and a loop of its own, so that msgbench's own work for the storm
// (a thousand connects, their greetings, the join notices) does not show in the pair's round
// trips.
// Thread safety: run() is called once; the pair's connections belong to the pair's thread while
// it runs, everything else to run()'s.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>

#include "BenchLoop.h"
#include "BenchOptions.h"
#include "LatencyHistogram.h"
#include "RoutedMessage.h"
#include "Scenario.h"
#include "UserGroup.h"

class LoginStormScenario : public Scenario {
 public:
  explicit LoginStormScenario(const BenchOptions& options);
  ScenarioReport run() override;

  // The pair's packets and closes (the pair's thread).
  void onPacket(BenchConnection& connection, const unsigned char* image, std::size_t size) override;
  void onClosed(BenchConnection& connection) override;

 private:
  // The storm's users: they hear of each other's logins and nothing else.
  class StormObserver : public ConnectionObserver {
   public:
    explicit StormObserver(ScenarioReport& report) : report_(report) {}
    void onPacket(BenchConnection& connection, const unsigned char* image,
                  std::size_t size) override;

   private:
    ScenarioReport& report_;
  };

  enum Phase { QUIET, STORM, STOPPING };

  // The pair's thread: a message every interval until told to stop; then waits a bounded time
  // for the answers still under way.
  void runPair();
  void pairProblem(const std::string& text);
  // The storm itself, on run()'s thread; true when every user got in.
  bool runStorm(std::string* problem);

  const BenchOptions& options_;
  ScenarioReport report_;
  BenchLoop pairLoop_;
  UserGroup pair_;
  BenchLoop stormLoop_;
  StormObserver stormObserver_;
  UserGroup storm_;
  RoutedMessage ping_;
  RoutedMessage pong_;
  std::atomic<int> phase_{QUIET};
  // The pair thread's: the number of the next message and of the next answer due, the round
  // trips' times before the storm and from its start on, and what went wrong.
  std::uint32_t nextSequence_ = 0;
  std::uint32_t nextAnswer_ = 0;
  std::deque<std::uint64_t> unanswered_;  // when each message not yet answered left
  std::uint64_t neverAnswered_ = 0;
  LatencyHistogram quiet_;
  LatencyHistogram during_;
  bool pairMeasuring_ = false;
  int pairProblemCount_ = 0;
  std::string pairProblems_;
};
