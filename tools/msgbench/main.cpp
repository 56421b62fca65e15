// msgbench: a load generator for the message server that anyone can rerun. It logs users in
// over loopback (or any network), drives one scenario after the other from a single thread
// with non-blocking sockets, checks that every message arrived once and where it was sent,
// and prints what it measured: rates, latencies, and with --server-pid the server's processor
// time per unit of work, beside its own. With --compare-port every scenario runs against a
// second server too (the reference relay), right after, and each figure is also given as a
// ratio to that server's. See docs/benchmarks.md.
#include <cstdio>
#include <memory>
#include <string>

#include "BenchOptions.h"
#include "ConnectScenario.h"
#include "DirectScenario.h"
#include "FanoutScenario.h"
#include "LoginStormScenario.h"
#include "LoginsScenario.h"
#include "PingPongScenario.h"
#include "ScenarioReport.h"
#include "ServerProcess.h"
#include "ThroughputScenario.h"
#include "platform/HandleLimit.h"
#include "platform/Network.h"
#include "platform/ProcessClock.h"

namespace {

// Handles msgbench holds beside its connections: standard streams, pollers, an echo pair, the
// files it reads under /proc.
constexpr long kSpareHandles = 32;

std::unique_ptr<Scenario> makeScenario(const std::string& name, const BenchOptions& options,
                                       double directP50Microseconds) {
  if (name == "direct") return std::make_unique<DirectScenario>(options);
  if (name == "pingpong") return std::make_unique<PingPongScenario>(options, directP50Microseconds);
  if (name == "throughput") return std::make_unique<ThroughputScenario>(options);
  if (name == "fanout") return std::make_unique<FanoutScenario>(options);
  if (name == "connect") return std::make_unique<ConnectScenario>(options);
  if (name == "logins") return std::make_unique<LoginsScenario>(options);
  if (name == "loginstorm") return std::make_unique<LoginStormScenario>(options);
  return nullptr;
}

// What differs between this server and the relay in a scenario, for the comparison's title.
const char* comparisonNote(const std::string& name) {
  if (name == "connect" || name == "logins" || name == "loginstorm") {
    return "(its login is cheaper: no passwords, no user list, no join or leave notices)";
  }
  return nullptr;
}

// The server's process must be readable and must be the one listening on the port; false
// (said on standard error) otherwise.
bool checkServerProcess(int pid, std::uint16_t port, const char* option) {
  if (ServerProcess::cpuSeconds(pid) < 0) {
    std::fprintf(stderr, "msgbench: cannot read the processor time of process %d (%s)\n", pid,
                 option);
    return false;
  }
  // Figures of a process that is not the one serving the port would be figures of nothing.
  if (!ServerProcess::listensOn(pid, port)) {
    std::fprintf(stderr,
                 "msgbench: process %d (%s) does not listen on port %u (or its handles cannot "
                 "be read)\n",
                 pid, option, static_cast<unsigned>(port));
    return false;
  }
  return true;
}

// One connection per user must fit under the process's limit on open handles: raised to the
// hard limit when it does not; false (said on standard error) when even that is too low.
bool checkHandleLimit(const BenchOptions& options) {
  const long needed = options.connectionsNeeded() + kSpareHandles;
  const HandleLimit limit = raiseHandleLimit(needed);
  if (limit.soft < 0 || limit.soft >= needed) return true;
  std::fprintf(stderr,
               "msgbench: %d connections at a time need about %ld open handles, but this process "
               "may have only %ld (hard limit %ld); raise it (ulimit -n) or use fewer --users\n",
               options.connectionsNeeded(), needed, limit.soft, limit.hard);
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  startWinsock();  // a server that goes away must not end msgbench with a signal
  BenchOptions options;
  std::string error;
  if (!options.parse(argc, argv, &error)) {
    std::fprintf(stderr, "msgbench: %s\n%s", error.c_str(), BenchOptions::usage());
    return 2;
  }
  if (options.help) {
    std::fputs(BenchOptions::usage(), stdout);
    return 0;
  }
  if (!checkHandleLimit(options)) return 2;
  if (options.serverPid != 0 &&
      !checkServerProcess(options.serverPid, options.port, "--server-pid")) {
    return 2;
  }
  const BenchOptions relay = options.comparisonTarget();
  if (options.comparePid != 0 &&
      !checkServerProcess(options.comparePid, options.comparePort, "--compare-pid")) {
    return 2;
  }

  std::printf("msgbench: server %s:%u, %d users, window %d, %g s per scenario",
              options.host.c_str(), static_cast<unsigned>(options.port), options.users,
              options.window, options.duration);
  if (options.serverPid != 0) {
    std::printf(", server pid %d (%ld clock ticks/s)", options.serverPid, clockTicksPerSecond());
  }
  std::printf("\n");
  if (options.comparing()) {
    std::printf("msgbench: each scenario then runs against the relay at %s:%u", relay.host.c_str(),
                static_cast<unsigned>(relay.port));
    if (relay.serverPid != 0) std::printf(", pid %d", relay.serverPid);
    std::printf("; ratios are this server's figure / the relay's\n");
  }
  std::fflush(stdout);

  bool passed = true;
  double directP50 = 0;
  for (const std::string& name : options.scenarios) {
    std::unique_ptr<Scenario> scenario = makeScenario(name, options, directP50);
    if (scenario == nullptr) continue;
    const ScenarioReport report = scenario->run();
    scenario.reset();
    report.print(stdout);
    if (name == "direct") directP50 = report.p50Microseconds;
    if (!report.passed()) passed = false;
    // The direct round trip involves no server: there is nothing to compare.
    if (!options.comparing() || name == "direct") continue;
    std::unique_ptr<Scenario> other = makeScenario(name, relay, directP50);
    const ScenarioReport relayReport = other->run();
    other.reset();
    relayReport.print(stdout, "the relay");
    report.printComparison(stdout, relayReport, "the relay", comparisonNote(name));
    if (!relayReport.passed()) passed = false;
  }
  std::printf("%s\n", passed ? "msgbench: every message arrived once, where it was sent"
                             : "msgbench: FAILED (see PROBLEM lines)");
  return passed ? 0 : 1;
}
