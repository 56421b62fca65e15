#include "ScenarioReport.h"

#include <cstdarg>

#include "CpuMeter.h"
#include "LatencyHistogram.h"
#include "platform/ProcessClock.h"
#include "protocol/Packet.h"

namespace {

// The most problems listed one by one; the rest are counted.
constexpr std::size_t kProblemLines = 20;
// Below this many clock ticks of the server's processor time a figure per unit is mostly the
// rounding of the ticks: it is flagged, and not compared.
constexpr double kFewestTicks = 20;

std::string formatLine(const char* format, std::va_list arguments) {
  char line[512];
  std::vsnprintf(line, sizeof line, format, arguments);
  // Some texts come from the server: nothing in them may steer the reader's terminal.
  for (char* p = line; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7F) *p = '?';
  }
  return line;
}

}  // namespace

ScenarioReport::ScenarioReport(std::string name_) : name(std::move(name_)) {}

void ScenarioReport::figure(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  figures_.push_back(formatLine(format, arguments));
  va_end(arguments);
}

void ScenarioReport::problem(const char* format, ...) {
  ++problemCount_;
  if (problems_.size() >= kProblemLines) return;
  std::va_list arguments;
  va_start(arguments, format);
  problems_.push_back(formatLine(format, arguments));
  va_end(arguments);
}

void ScenarioReport::unexpected(const std::string& receiver, const unsigned char* image,
                                std::size_t size) {
  // A text payload without its terminator; at most a line of it.
  const std::size_t length = size > HEADER_SIZE ? size - HEADER_SIZE - 1 : 0;
  const std::string text(reinterpret_cast<const char*>(image + HEADER_SIZE),
                         length < 200 ? length : 200);
  problem("%s received %.4s: %s", receiver.c_str(), reinterpret_cast<const char*>(image),
          text.c_str());
}

void ScenarioReport::latency(const char* label, const LatencyHistogram& histogram,
                             bool milliseconds) {
  const double unit = milliseconds ? 1e6 : 1e3;
  const char* unitName = milliseconds ? "ms" : "us";
  figure("%s p50 %.1f %s, p99 %.1f %s, max %.1f %s (%llu samples)", label,
         histogram.percentile(0.50) / unit, unitName, histogram.percentile(0.99) / unit, unitName,
         histogram.maximum() / unit, unitName, static_cast<unsigned long long>(histogram.count()));
}

void ScenarioReport::cpu(const CpuMeter& meter, double units, const char* unit,
                         double aimMicroseconds) {
  const double elapsed = meter.elapsedSeconds();
  const double server = meter.serverSeconds();
  cpuUnit = unit;
  if (server >= 0 && units > 0) {
    serverMicrosecondsPerUnit = server * 1e6 / units;
    char aim[96] = "";
    if (aimMicroseconds > 0) {
      std::snprintf(aim, sizeof aim, "; aim %.1f us: %s", aimMicroseconds,
                    serverMicrosecondsPerUnit <= aimMicroseconds ? "met" : "missed");
    }
    const double ticks = server * static_cast<double>(clockTicksPerSecond());
    roughServerCpu = ticks < kFewestTicks;
    char rough[64] = "";
    if (roughServerCpu) {
      std::snprintf(rough, sizeof rough, " (only %.0f clock ticks: rough)", ticks);
    }
    figure("server CPU %.2f s in %.2f s (%.0f%% of a core), %.2f us per %s%s%s", server, elapsed,
           elapsed > 0 ? 100.0 * server / elapsed : 0.0, serverMicrosecondsPerUnit, unit, aim,
           rough);
  }
  const double own = meter.ownSeconds();
  char perUnit[64] = "";
  if (units > 0)
    std::snprintf(perUnit, sizeof perUnit, ", %.2f us per %s", own * 1e6 / units, unit);
  figure("msgbench CPU %.2f s in %.2f s (%.0f%% of a core)%s", own, elapsed,
         elapsed > 0 ? 100.0 * own / elapsed : 0.0, perUnit);
}

void ScenarioReport::keep(double rateValue, const char* unit, const LatencyHistogram& histogram) {
  rate = rateValue;
  rateUnit = unit;
  p50Microseconds = histogram.percentile(0.50) / 1000.0;
  p99Microseconds = histogram.percentile(0.99) / 1000.0;
}

void ScenarioReport::printComparison(std::FILE* out, const ScenarioReport& other,
                                     const char* otherName, const char* note) const {
  std::fprintf(out, "%s, this server / %s%s%s:\n", name.c_str(), otherName,
               note != nullptr ? " " : "", note != nullptr ? note : "");
  if (!passed() || !other.passed()) {
    std::fprintf(out, "  no ratios: %s had problems\n", passed() ? otherName : "this server");
    std::fflush(out);
    return;
  }
  // A ratio of two figures that were both measured, or a dash.
  auto ratio = [](double mine, double theirs) -> std::string {
    if (!(mine > 0) || !(theirs > 0)) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", mine / theirs);
    return text;
  };
  if (rate >= 0) {
    std::fprintf(out, "  rate %s (%.0f / %.0f %s)\n", ratio(rate, other.rate).c_str(), rate,
                 other.rate, rateUnit.c_str());
  }
  std::fprintf(out, "  latency p50 %s (%.1f / %.1f us), p99 %s (%.1f / %.1f us)\n",
               ratio(p50Microseconds, other.p50Microseconds).c_str(), p50Microseconds,
               other.p50Microseconds, ratio(p99Microseconds, other.p99Microseconds).c_str(),
               p99Microseconds, other.p99Microseconds);
  if (serverMicrosecondsPerUnit >= 0 && other.serverMicrosecondsPerUnit >= 0) {
    std::fprintf(out, "  server CPU per %s %s (%.2f / %.2f us)\n", cpuUnit.c_str(),
                 roughServerCpu || other.roughServerCpu
                     ? "not compared: too few clock ticks"
                     : ratio(serverMicrosecondsPerUnit, other.serverMicrosecondsPerUnit).c_str(),
                 serverMicrosecondsPerUnit, other.serverMicrosecondsPerUnit);
  }
  std::fflush(out);
}

void ScenarioReport::print(std::FILE* out, const char* target) const {
  if (target != nullptr) {
    std::fprintf(out, "%s against %s:\n", name.c_str(), target);
  } else {
    std::fprintf(out, "%s:\n", name.c_str());
  }
  for (const std::string& line : figures_) std::fprintf(out, "  %s\n", line.c_str());
  for (const std::string& line : problems_) std::fprintf(out, "  PROBLEM: %s\n", line.c_str());
  if (problemCount_ > problems_.size()) {
    std::fprintf(out, "  PROBLEM: ... and %zu more\n", problemCount_ - problems_.size());
  }
  std::fflush(out);
}
