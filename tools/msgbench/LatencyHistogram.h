// LatencyHistogram: durations in nanoseconds, kept as counts in buckets about 3% wide (32 per
// power of two), so that recording is a few instructions and the memory is fixed however long
// a run lasts. Percentiles are read back as the middle of their bucket.
// Thread safety: none; one scenario records into its own.
#pragma once

#include <cstdint>
#include <vector>

class LatencyHistogram {
 public:
  LatencyHistogram();

  void record(std::uint64_t nanoseconds);
  std::uint64_t count() const { return count_; }
  // The duration below which the given fraction (0..1) of the samples lies, in nanoseconds;
  // 0 when nothing was recorded.
  double percentile(double fraction) const;
  double maximum() const { return static_cast<double>(maximum_); }

 private:
  static std::size_t bucketOf(std::uint64_t value);
  static double middleOf(std::size_t bucket);

  std::vector<std::uint64_t> buckets_;
  std::uint64_t count_;
  std::uint64_t maximum_;
};
