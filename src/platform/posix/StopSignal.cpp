#include "platform/StopSignal.h"

#include <signal.h>

#include <cerrno>

namespace {

sigset_t requestSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

void StopSignal::catchRequests() {
  const sigset_t set = requestSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

StopSignal::Request StopSignal::wait() {
  const sigset_t set = requestSignals();
  int signal = 0;
  while (sigwait(&set, &signal) != 0) {
  }
  return signal == SIGHUP ? Request::ReopenLogs : Request::Stop;
}
