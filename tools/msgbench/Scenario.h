// Scenario: one measurement of msgbench. It owns its loop and its connections, runs once for
// the configured duration (plus bounded times to log in, to wait for what is still under way,
// and to log out) and returns what it found.
#pragma once

#include "ConnectionObserver.h"
#include "ScenarioReport.h"

class Scenario : public ConnectionObserver {
 public:
  ~Scenario() override = default;
  virtual ScenarioReport run() = 0;
};
