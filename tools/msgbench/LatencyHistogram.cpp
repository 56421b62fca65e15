#include "LatencyHistogram.h"

#include <bit>

namespace {

// Values below 64 have a bucket each; above, each power of two is cut into 32 parts.
constexpr unsigned kLinearBits = 6;
constexpr unsigned kSubBits = 5;
constexpr std::size_t kLinear = std::size_t{1} << kLinearBits;
constexpr std::size_t kSub = std::size_t{1} << kSubBits;
constexpr std::size_t kBuckets = kLinear + (64 - kLinearBits) * kSub;

}  // namespace

LatencyHistogram::LatencyHistogram() : buckets_(kBuckets, 0), count_(0), maximum_(0) {}

std::size_t LatencyHistogram::bucketOf(std::uint64_t value) {
  if (value < kLinear) return static_cast<std::size_t>(value);
  const unsigned top = 63u - static_cast<unsigned>(std::countl_zero(value));  // >= kLinearBits
  const unsigned shift = top - kSubBits;
  const std::size_t part = static_cast<std::size_t>(value >> shift) - kSub;  // 0 .. kSub-1
  return kLinear + (top - kLinearBits) * kSub + part;
}

double LatencyHistogram::middleOf(std::size_t bucket) {
  if (bucket < kLinear) return static_cast<double>(bucket);
  const std::size_t above = bucket - kLinear;
  const unsigned top = static_cast<unsigned>(above / kSub) + kLinearBits;
  const unsigned shift = top - kSubBits;
  const double low = static_cast<double>((kSub + above % kSub) << shift);
  return low + static_cast<double>(std::uint64_t{1} << shift) / 2.0;
}

void LatencyHistogram::record(std::uint64_t nanoseconds) {
  ++buckets_[bucketOf(nanoseconds)];
  ++count_;
  if (nanoseconds > maximum_) maximum_ = nanoseconds;
}

double LatencyHistogram::percentile(double fraction) const {
  if (count_ == 0) return 0.0;
  if (fraction < 0.0) fraction = 0.0;
  if (fraction > 1.0) fraction = 1.0;
  // The rank of the sample asked for, counted from 1.
  std::uint64_t rank = static_cast<std::uint64_t>(fraction * static_cast<double>(count_) + 0.5);
  if (rank < 1) rank = 1;
  if (rank > count_) rank = count_;
  std::uint64_t seen = 0;
  for (std::size_t i = 0; i < buckets_.size(); ++i) {
    seen += buckets_[i];
    if (seen >= rank) return middleOf(i);
  }
  return static_cast<double>(maximum_);
}
