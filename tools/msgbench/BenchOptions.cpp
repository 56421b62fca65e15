#include "BenchOptions.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "MessageBody.h"
#include "platform/Network.h"

namespace {

// The order in which "all" runs them: the ceiling first, so that the others can be compared
// with it.
const char* const kScenarios[] = {"direct",  "pingpong", "throughput", "fanout",
                                  "connect", "logins",   "loginstorm"};

bool readInteger(const char* text, long low, long high, long* value) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const long number = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || number < low || number > high) return false;
  *value = number;
  return true;
}

bool readSeconds(const char* text, double* value) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  const double number = std::strtod(text, &end);
  if (*end != '\0' || !(number > 0.0) || number > 3600.0) return false;
  *value = number;
  return true;
}

}  // namespace

const char* BenchOptions::usage() {
  return "usage: msgbench [options]\n"
         "  --host ADDRESS      the server (default: this machine's address)\n"
         "  --port PORT         its port (default 5412)\n"
         "  --scenario LIST     all (default), or any of direct,pingpong,throughput,fanout,\n"
         "                      connect,logins,loginstorm\n"
         "  --users N           users in throughput, fanout, logins and loginstorm (default 25,\n"
         "                      at most 1000)\n"
         "  --duration SECONDS  measuring time per scenario (default 5; fractions allowed)\n"
         "  --window N          messages in flight per sender (default 8)\n"
         "  --workers N         parallel connect-login-quit cycles (default 4)\n"
         "  --body BYTES        size of each message body (default 64)\n"
         "  --server-pid PID    also report the server's CPU time (from /proc)\n"
         "  --password TEXT     password of every user, for servers that ask for one\n"
         "  --login-seconds S   how long the users may take to log in (default 15, or 60 ms\n"
         "                      per user where that is longer)\n"
         "  --compare-port PORT run every scenario against this server too (the reference\n"
         "                      relay) and print each figure as a ratio to its\n"
         "  --compare-host ADDRESS  where that server listens (default 127.0.0.1)\n"
         "  --compare-pid PID   also report that server's CPU time\n"
         "Exit status: 0 when every message arrived once and where it was sent, 1 when anything\n"
         "was lost, misrouted or refused, 2 for a usage error.\n";
}

bool BenchOptions::knownScenario(const std::string& name) {
  return std::find(std::begin(kScenarios), std::end(kScenarios), name) != std::end(kScenarios);
}

bool BenchOptions::wants(const std::string& scenario) const {
  return std::find(scenarios.begin(), scenarios.end(), scenario) != scenarios.end();
}

double BenchOptions::loginSeconds(int count) const {
  if (loginLimit > 0) return loginLimit;
  const double scaled = 0.06 * count;
  return scaled > 15.0 ? scaled : 15.0;
}

double BenchOptions::logoutSeconds(int count) { return 10.0 + 0.02 * count; }

int BenchOptions::connectionsNeeded() const {
  int most = 0;
  for (const std::string& name : scenarios) {
    int count = 2;  // direct and pingpong
    if (name == "throughput" || name == "fanout" || name == "logins") count = users;
    if (name == "loginstorm") count = users + 2;
    if (name == "connect") count = workers;
    if (count > most) most = count;
  }
  return most;
}

BenchOptions BenchOptions::comparisonTarget() const {
  BenchOptions target = *this;
  target.host = compareHost;
  target.port = comparePort;
  target.serverPid = comparePid;
  return target;
}

double BenchOptions::drainSeconds() const {
  return duration < 1.0 ? 1.0 : duration > 5.0 ? 5.0 : duration;
}

bool BenchOptions::parse(int argc, char** argv, std::string* error) {
  std::string scenarioList = "all";
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      help = true;
      return true;
    }
    if (i + 1 >= argc) {
      *error = "unknown option or missing value: " + option;
      return false;
    }
    const char* value = argv[++i];
    long number = 0;
    bool good = true;
    if (option == "--host") {
      host = value;
      good = !host.empty() && host.size() < 256;
    } else if (option == "--port") {
      good = readInteger(value, 1, 65535, &number);
      port = static_cast<std::uint16_t>(number);
    } else if (option == "--scenario") {
      scenarioList = value;
    } else if (option == "--users") {
      good = readInteger(value, 2, MOST_USERS, &number);
      users = static_cast<int>(number);
    } else if (option == "--duration") {
      good = readSeconds(value, &duration);
    } else if (option == "--window") {
      good = readInteger(value, 1, 1000, &number);
      window = static_cast<int>(number);
    } else if (option == "--workers") {
      good = readInteger(value, 1, 100, &number);
      workers = static_cast<int>(number);
    } else if (option == "--body") {
      good = readInteger(value, static_cast<long>(MessageBody::FIELDS_SIZE), 900, &number);
      bodySize = static_cast<int>(number);
    } else if (option == "--server-pid") {
      good = readInteger(value, 1, 0x7FFFFFFF, &number);
      serverPid = static_cast<int>(number);
    } else if (option == "--login-seconds") {
      good = readSeconds(value, &loginLimit);
    } else if (option == "--compare-port") {
      good = readInteger(value, 1, 65535, &number);
      comparePort = static_cast<std::uint16_t>(number);
    } else if (option == "--compare-host") {
      compareHost = value;
      good = !compareHost.empty() && compareHost.size() < 256;
    } else if (option == "--compare-pid") {
      good = readInteger(value, 1, 0x7FFFFFFF, &number);
      comparePid = static_cast<int>(number);
    } else if (option == "--password") {
      password = value;
      good = password.size() < 256;
    } else {
      *error = "unknown option: " + option;
      return false;
    }
    if (!good) {
      *error = "bad value for " + option + ": " + value;
      return false;
    }
  }

  scenarios.clear();
  std::size_t start = 0;
  while (start <= scenarioList.size()) {
    std::size_t comma = scenarioList.find(',', start);
    if (comma == std::string::npos) comma = scenarioList.size();
    const std::string name = scenarioList.substr(start, comma - start);
    if (name == "all") {
      for (const char* each : kScenarios) scenarios.emplace_back(each);
    } else if (knownScenario(name)) {
      scenarios.push_back(name);
    } else {
      *error = "unknown scenario: " + name;
      return false;
    }
    start = comma + 1;
  }

  if (comparePid != 0 && comparePort == 0) {
    *error = "--compare-pid needs --compare-port";
    return false;
  }
  if (comparePort != 0 && convertAddress(compareHost.c_str()) == 0xFFFFFFFFu) {
    *error = "--compare-host takes a dotted address: " + compareHost;
    return false;
  }

  if (host.empty()) {
    char own[16] = "";
    host = resolveOwnAddress(own) ? own : "127.0.0.1";
  }
  if (convertAddress(host.c_str()) == 0xFFFFFFFFu) {
    char resolved[16] = "";
    if (!resolveHostName(host.c_str(), resolved)) {
      *error = "cannot resolve host " + host;
      return false;
    }
    host = resolved;
  }
  if (comparePort == port && compareHost == host) {
    *error = "--compare-port names the server being measured itself";
    return false;
  }
  return true;
}
