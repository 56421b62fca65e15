#include "LoginsScenario.h"

#include <cstring>
#include <string>

#include "BenchClock.h"
#include "CpuMeter.h"

LoginsScenario::LoginsScenario(const BenchOptions& options)
    : options_(options),
      report_("logins"),
      users_(loop_, *this, options, UserGroup::numberedNames("l", options.users)) {}

void LoginsScenario::onPacket(BenchConnection& connection, const unsigned char* image,
                              std::size_t size) {
  // The others log in meanwhile.
  if (std::memcmp(image, "USER", 4) == 0 || std::memcmp(image, "GONE", 4) == 0) return;
  report_.unexpected(connection.name(), image, size);
}

void LoginsScenario::reportStorm(ScenarioReport& report, const UserGroup& users,
                                 double allowedSeconds) {
  const double seconds =
      users.lastLoginAt() > users.firstConnectAt()
          ? static_cast<double>(users.lastLoginAt() - users.firstConnectAt()) / 1e9
          : 0.0;
  const double rate = seconds > 0 ? users.loggedIn() / seconds : 0.0;
  if (users.loggedIn() == users.size()) {
    report.figure(
        "%d users, every connect issued at once: all logged in %.3f s after the first "
        "connect (%.0f logins/s)",
        users.size(), seconds, rate);
  } else {
    report.figure("%d users, every connect issued at once: %d logged in within the %g s allowed",
                  users.size(), users.loggedIn(), allowedSeconds);
  }
  report.latency("login, first connect to CONN:", users.loginTimes(), true);
  if (users.restarts() > 0) {
    report.figure(
        "%d connections started again: not greeted, and the server greeted no one for 5 s",
        users.restarts());
  }
  report.rate = rate;
  report.rateUnit = "logins/s";
}

ScenarioReport LoginsScenario::run() {
  if (!loop_.valid()) {
    report_.problem("no event poller");
    return report_;
  }
  CpuMeter meter(options_.serverPid);
  meter.start();
  std::string problem;
  const bool allIn = users_.logIn(&problem, UserGroup::ALL_AT_ONCE);
  meter.stop();
  reportStorm(report_, users_, options_.loginSeconds(users_.size()));
  report_.p50Microseconds = users_.loginTimes().percentile(0.50) / 1000.0;
  report_.p99Microseconds = users_.loginTimes().percentile(0.99) / 1000.0;
  report_.cpu(meter, static_cast<double>(users_.loggedIn()), "login", 0);
  if (!allIn) report_.problem("%s", problem.c_str());
  if (!users_.logOut(&problem)) report_.problem("logging out: %s", problem.c_str());
  return report_;
}
