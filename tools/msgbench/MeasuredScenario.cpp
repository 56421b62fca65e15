#include "MeasuredScenario.h"

#include "BenchClock.h"
#include "BenchConnection.h"
#include "CpuMeter.h"

MeasuredScenario::MeasuredScenario(const BenchOptions& options, const char* name,
                                   int meteredPid)
    : options_(options), report_(name), meteredPid_(meteredPid) {}

void MeasuredScenario::onClosed(BenchConnection& connection) {
  if (measuring_) {
    report_.problem("%s lost its connection: %s", connection.name().c_str(),
                    connection.failure().c_str());
  }
}

ScenarioReport MeasuredScenario::run() {
  if (!open()) return report_;

  CpuMeter meter(meteredPid_);
  measuring_ = true;
  sending_ = true;
  meter.start();
  startSending();
  loop_.runUntil([] { return false; }, meter.startedAt() + secondsToNanoseconds(options_.duration));
  sending_ = false;
  loop_.runUntil([this] { return settled(); },
                 nowNanoseconds() + secondsToNanoseconds(options_.drainSeconds()));
  meter.stop();
  measuring_ = false;

  reportMeasuring(meter);
  close();
  return report_;
}
