// LoginStormScenario: the round trip of a pair already logged in while N others log in at
// once. "ping" and "pong" log in and answer each other as in pingpong, first for the measuring
// time with no one else about (the quiet round trip), then while N users ("s0001"...) connect
// together and log in. The round trips under way while the storm lasts are the storm's. Reports
// both round trips, the storm's duration and the logins' times, and the server's processor time
// per login of the storm.
// The pair runs on a thread and a loop of its own, so that msgbench's own work for the storm
// (a thousand connects, their greetings, the join notices) does not show in the pair's round
// trips.
// Thread safety: run() is called once; the pair's connections belong to the pair's thread while
// it runs, everything else to run()'s.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "BenchLoop.h"
#include "BenchOptions.h"
#include "LatencyHistogram.h"
#include "RoundTrips.h"
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

  // The pair's thread: round trips, one after the other, until told to stop; then waits a
  // bounded time for the last answer.
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
  // The pair thread's: its round trips, their times before the storm and from its start on
  // (a round trip counts where its answer arrives), and what went wrong.
  RoundTrips roundTrips_;
  LatencyHistogram quiet_;
  LatencyHistogram during_;
  bool pairMeasuring_ = false;
  int pairProblemCount_ = 0;
  std::string pairProblems_;
};
