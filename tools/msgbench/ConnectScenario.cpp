#include "ConnectScenario.h"

#include <cstring>
#include <string>

#include "BenchClock.h"
#include "CpuMeter.h"
#include "UserGroup.h"

namespace {

// The aim for the server's processor time per connect-login-quit cycle.
constexpr double kAimMicroseconds = 50.0;

}  // namespace

ConnectScenario::ConnectScenario(const BenchOptions& options)
    : options_(options), report_("connect") {
  const std::vector<std::string> names = UserGroup::numberedNames("c", options.workers);
  for (std::size_t i = 0; i < names.size(); ++i) {
    workers_.push_back(
        std::make_unique<BenchConnection>(loop_, *this, names[i], static_cast<int>(i)));
  }
  startedAt_.resize(workers_.size(), 0);
}

void ConnectScenario::onReady(BenchConnection& connection) { connection.quit(); }

void ConnectScenario::onPacket(BenchConnection& connection, const unsigned char* image,
                               std::size_t size) {
  // Other workers come and go.
  if (std::memcmp(image, "USER", 4) == 0 || std::memcmp(image, "GONE", 4) == 0) return;
  report_.unexpected(connection.name(), image, size);
}

void ConnectScenario::onClosed(BenchConnection& connection) {
  ended_.push_back(connection.index());
}

bool ConnectScenario::start(int worker) {
  BenchConnection& connection = *workers_[static_cast<std::size_t>(worker)];
  startedAt_[static_cast<std::size_t>(worker)] = nowNanoseconds();
  if (!connection.open(options_.host.c_str(), options_.port, options_.password)) {
    report_.problem("%s", connection.failure().c_str());
    return false;
  }
  ++running_;
  return true;
}

void ConnectScenario::settle(bool startMore) {
  std::vector<int> ended;
  ended.swap(ended_);
  for (int worker : ended) {
    --running_;
    BenchConnection& connection = *workers_[static_cast<std::size_t>(worker)];
    if (connection.quitReceived() && connection.failure().empty()) {
      ++cycles_;
      cycle_.record(nowNanoseconds() - startedAt_[static_cast<std::size_t>(worker)]);
    } else if (connection.refused()) {
      ++refusals_;  // no room for a moment; the next cycle tries again
    } else {
      report_.problem("cycle of %s failed: %s", connection.name().c_str(),
                      connection.failure().c_str());
      continue;  // a worker that fails stays down, so a broken server cannot spin it
    }
    if (startMore) start(worker);
  }
}

ScenarioReport ConnectScenario::run() {
  if (!loop_.valid()) {
    report_.problem("no event poller");
    return report_;
  }
  CpuMeter meter(options_.serverPid);
  meter.start();
  const std::uint64_t deadline = meter.startedAt() + secondsToNanoseconds(options_.duration);
  for (std::size_t i = 0; i < workers_.size(); ++i) start(static_cast<int>(i));
  while (running_ > 0 && nowNanoseconds() < deadline) {
    loop_.runOnce(10);
    settle(true);
  }
  // The cycles under way may finish, within limits.
  const std::uint64_t drainUntil = nowNanoseconds() + secondsToNanoseconds(options_.drainSeconds());
  while (running_ > 0 && nowNanoseconds() < drainUntil) {
    loop_.runOnce(10);
    settle(false);
  }
  meter.stop();
  for (auto& worker : workers_) {
    if (worker->state() != BenchConnection::State::Closed) {
      report_.problem("cycle of %s did not end in time", worker->name().c_str());
      worker->close();
    }
  }
  ended_.clear();

  const double elapsed = meter.elapsedSeconds();
  report_.figure("%d workers: %llu cycles of connect, log in, quit, %.0f cycles/s",
                 options_.workers, static_cast<unsigned long long>(cycles_),
                 elapsed > 0 ? cycles_ / elapsed : 0.0);
  if (refusals_ > 0) {
    report_.figure("%llu connections refused for lack of room (tried again)",
                   static_cast<unsigned long long>(refusals_));
  }
  report_.latency("cycle", cycle_);
  report_.keep(elapsed > 0 ? cycles_ / elapsed : 0.0, "cycles/s", cycle_);
  report_.cpu(meter, static_cast<double>(cycles_), "cycle", kAimMicroseconds);
  if (cycles_ == 0) report_.problem("no cycle completed");
  return report_;
}
