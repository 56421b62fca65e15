// MeasuredScenario: the run that every scenario of messages sent for a while shares. It opens
// the scenario's connections, starts the processor-time meter, lets the scenario send for the
// configured duration, lets what is still under way arrive (until it stops coming), stops the
// meter, and has the scenario report what it measured and close. A connection lost while the
// meter runs is a problem.
// Thread safety: the loop's thread only.
#pragma once

#include "BenchLoop.h"
#include "BenchOptions.h"
#include "Scenario.h"

class CpuMeter;

class MeasuredScenario : public Scenario {
 public:
  ScenarioReport run() final;
  void onClosed(BenchConnection& connection) override;

 protected:
  // name: the report's; meteredPid: the process whose processor time is measured (0: none).
  MeasuredScenario(const BenchOptions& options, const char* name, int meteredPid);

  // Opens the connections; false, with the reason in report_, when the scenario cannot run.
  virtual bool open() = 0;
  // Sends the first messages; the scenario sends the next ones from onPacket while sending_.
  virtual void startSending() = 0;
  // True when nothing that was sent is still on its way.
  virtual bool settled() const = 0;
  // Puts what was measured into report_, and what never arrived as problems.
  virtual void reportMeasuring(const CpuMeter& meter) = 0;
  // Closes the connections; what goes wrong goes to report_.
  virtual void close() = 0;

  const BenchOptions& options_;
  BenchLoop loop_;
  ScenarioReport report_;
  bool measuring_ = false;  // the meter runs
  bool sending_ = false;    // new messages may leave

 private:
  // The longest wait for what is under way, however slowly it keeps arriving.
  static constexpr double kLongestDrainSeconds = 60.0;

  // Runs the loop until nothing is under way, or nothing has arrived for a drain time.
  void drain();

  int meteredPid_;
};
