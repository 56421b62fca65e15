#include "platform/StopSignal.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>

namespace {

pthread_t inputThread;
bool inputThreadSet = false;

// Does nothing: the signal is there to end a blocking read with EINTR.
void onInterrupt(int) {}

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

void StopSignal::prepareInputInterrupt() {
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the read must end, not go on
  sigaction(SIGUSR1, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGUSR1);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  inputThread = pthread_self();
  inputThreadSet = true;
}

void StopSignal::interruptInput() {
  if (inputThreadSet) pthread_kill(inputThread, SIGUSR1);
}
