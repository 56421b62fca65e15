// ScenarioReport: what one scenario measured and what went wrong in it. Figures are lines for
// the reader; problems (a message lost, misrouted or unexpected, a login refused) make the run
// fail. The main rate, latency and the server's cost per unit are kept as numbers too, so that
// scenarios can be compared with each other, with the aims, and with the same scenario run
// against another server.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

class CpuMeter;
class LatencyHistogram;

class ScenarioReport {
 public:
  explicit ScenarioReport(std::string name);

  // One line of figures, formatted like printf (formats are msgbench's own).
  void figure(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Only the first few problems are kept word for word; all are counted.
  void problem(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // A problem: a packet that the scenario does not expect (its type and text shown).
  void unexpected(const std::string& receiver, const unsigned char* image, std::size_t size);
  // A line "LABEL p50 X us, p99 Y us, max Z us (N samples)"; in ms for long times.
  void latency(const char* label, const LatencyHistogram& histogram, bool milliseconds = false);
  // The lines on processor time: the server's per unit (when known) against the aim (none
  // when aimMicroseconds is 0), then msgbench's own.
  void cpu(const CpuMeter& meter, double units, const char* unit, double aimMicroseconds);
  // Keeps the scenario's main rate ("delivered/s") and its main latency's p50 and p99.
  void keep(double rateValue, const char* unit, const LatencyHistogram& histogram);

  bool passed() const { return problemCount_ == 0; }
  // "NAME:" (or "NAME against TARGET:"), then the figures and the problems.
  void print(std::FILE* out, const char* target = nullptr) const;
  // The lines comparing this report with the same scenario's against another server: the rate
  // and the server CPU per unit as ratios of this one to the other's, and the latencies'.
  // `note` (may be null) follows the first line: what differs between the two servers.
  void printComparison(std::FILE* out, const ScenarioReport& other, const char* otherName,
                       const char* note) const;

  const std::string name;
  double rate = -1;  // units per second; -1 when the scenario has none
  std::string rateUnit;
  double p50Microseconds = 0;
  double p99Microseconds = 0;
  double serverMicrosecondsPerUnit = -1;
  bool roughServerCpu = false;  // measured in too few clock ticks to mean much
  std::string cpuUnit;

 private:
  std::vector<std::string> figures_;
  std::vector<std::string> problems_;  // the first few, word for word
  std::size_t problemCount_ = 0;
};
