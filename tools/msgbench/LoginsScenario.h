// LoginsScenario: N users connect at once (every connect issued in the same turn, none waiting
// for another) and log in. Measures how long it took from the first connect until every user
// was in (its CONN had arrived), each user's own login time, and the server's processor time
// per login; then logs them all out. Meanwhile the users hear of each other's logins and must
// hear nothing else.
// Thread safety: the loop's thread only.
#pragma once

#include "BenchLoop.h"
#include "BenchOptions.h"
#include "Scenario.h"
#include "UserGroup.h"

class CpuMeter;

class LoginsScenario : public Scenario {
 public:
  explicit LoginsScenario(const BenchOptions& options);
  ScenarioReport run() override;

  void onPacket(BenchConnection& connection, const unsigned char* image, std::size_t size) override;

  // The figures of a storm of logins: how many users got in and how long it took them all and
  // each; the report keeps the logins per second (and nothing else).
  static void reportStorm(ScenarioReport& report, const UserGroup& users, double allowedSeconds);

 private:
  const BenchOptions& options_;
  BenchLoop loop_;
  ScenarioReport report_;
  UserGroup users_;
};
