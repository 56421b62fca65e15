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

void MeasuredScenario::drain() {
  // A slow server is not a lossy one: what is under way may take its time as long as something
  // keeps arriving. Only a whole quiet drain time (or the outer limit) ends the wait.
  const std::uint64_t quietTime = secondsToNanoseconds(options_.drainSeconds());
  const std::uint64_t limit = nowNanoseconds() + secondsToNanoseconds(kLongestDrainSeconds);
  std::uint64_t seen = loop_.eventsHandled();
  std::uint64_t quietUntil = nowNanoseconds() + quietTime;
  while (!settled()) {
    const std::uint64_t now = nowNanoseconds();
    if (now >= quietUntil || now >= limit) return;
    loop_.runUntil([this, seen] { return settled() || loop_.eventsHandled() != seen; },
                   quietUntil < limit ? quietUntil : limit);
    if (loop_.eventsHandled() != seen) {
      seen = loop_.eventsHandled();
      quietUntil = nowNanoseconds() + quietTime;
    }
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
  drain();
  meter.stop();
  measuring_ = false;

  reportMeasuring(meter);
  close();
  return report_;
}
