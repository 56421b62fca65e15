#include "CpuMeter.h"

#include <ctime>

#include "BenchClock.h"
#include "ServerProcess.h"

namespace {

double ownProcessSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

}  // namespace

CpuMeter::CpuMeter(int serverPid)
    : serverPid_(serverPid),
      startedAt_(0),
      stoppedAt_(0),
      serverAtStart_(-1),
      serverAtStop_(-1),
      ownAtStart_(0),
      ownAtStop_(0) {}

void CpuMeter::start() {
  serverAtStart_ = ServerProcess::cpuSeconds(serverPid_);
  ownAtStart_ = ownProcessSeconds();
  startedAt_ = nowNanoseconds();
}

void CpuMeter::stop() {
  stoppedAt_ = nowNanoseconds();
  ownAtStop_ = ownProcessSeconds();
  serverAtStop_ = ServerProcess::cpuSeconds(serverPid_);
}

double CpuMeter::elapsedSeconds() const {
  return stoppedAt_ > startedAt_ ? static_cast<double>(stoppedAt_ - startedAt_) / 1e9 : 0.0;
}

double CpuMeter::serverSeconds() const {
  if (serverAtStart_ < 0 || serverAtStop_ < 0) return -1;
  return serverAtStop_ - serverAtStart_;
}

double CpuMeter::ownSeconds() const { return ownAtStop_ - ownAtStart_; }
