// BenchOptions: msgbench's command line. Every option has a default, so that a plain
// "msgbench --server-pid PID" measures everything against the local server.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class BenchOptions {
 public:
  // Reads the arguments (argv[0] is the program); false with the reason in *error for anything
  // unknown or out of range. The host defaults to this machine's address.
  bool parse(int argc, char** argv, std::string* error);
  static const char* usage();
  // True when name is one of the scenarios (not "all").
  static bool knownScenario(const std::string& name);
  // How long the messages still under way when the sending stops may go without any arrival:
  // as long as the measuring, within 1 to 5 seconds. What has not arrived by then is lost.
  double drainSeconds() const;
  // True when the scenario is to run.
  bool wants(const std::string& scenario) const;
  // How long `count` users may take to log in, all of them: --login-seconds, or by default
  // 15 s, and 60 ms per user where that is longer (a minute for 1000). A server that takes
  // longer is reported, not waited for.
  double loginSeconds(int count) const;
  // How long `count` users may take to be let go after their QUIT: 10 s and 20 ms per user.
  static double logoutSeconds(int count);
  // The most connections that the chosen scenarios hold open at one time.
  int connectionsNeeded() const;
  // The same options aimed at the comparison server (its host, port and pid): every scenario
  // reads its target from its options.
  BenchOptions comparisonTarget() const;
  bool comparing() const { return comparePort != 0; }

  // The most users a scenario can have: the server's largest capacity.
  static constexpr int MOST_USERS = 1000;

  std::string host;
  std::uint16_t port = 5412;
  int users = 25;                      // throughput, fan-out and login users
  double duration = 5.0;               // seconds of measuring per scenario
  int window = 8;                      // messages in flight per sender
  int workers = 4;                     // parallel connect cycles
  int bodySize = 64;                   // bytes of each message body
  int serverPid = 0;                   // 0: no server CPU figures
  std::string password;                // for servers that ask for one (every user the same)
  double loginLimit = 0;               // --login-seconds; 0: loginSeconds() scales with the users
  // The server to compare with, scenario by scenario, in the same run (port 0: none).
  std::string compareHost = "127.0.0.1";
  std::uint16_t comparePort = 0;
  int comparePid = 0;
  std::vector<std::string> scenarios;  // in the order they run
  bool help = false;
};
