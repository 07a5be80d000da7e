// Histogram buckets and percentiles.
#include "larkspur-io/src/engine/stats.h"

#include <bit>

namespace larkspur::io {

std::size_t LatencyHistogram::bucket_of(std::uint64_t ns) {
  // Values below 2^kSubBits have buckets of their own; above, the power of
  // two and the kSubBits bits below the leading one pick the bucket.
  if (ns < (std::uint64_t{1} << kSubBits)) return static_cast<std::size_t>(ns);
  const auto power = static_cast<std::size_t>(std::bit_width(ns) - 1);
  const std::size_t shift = power - kSubBits;
  const auto sub = static_cast<std::size_t>(
      (ns >> shift) & ((std::uint64_t{1} << kSubBits) - 1));
  return ((shift + 1) << kSubBits) + sub;
}

std::uint64_t LatencyHistogram::bucket_top(std::size_t bucket) {
  if (bucket < (std::size_t{1} << kSubBits)) return bucket;
  const std::size_t shift = (bucket >> kSubBits) - 1;
  const std::uint64_t sub = bucket & ((std::size_t{1} << kSubBits) - 1);
  const std::uint64_t low = ((std::uint64_t{1} << kSubBits) | sub) << shift;
  return low + ((std::uint64_t{1} << shift) - 1);
}

void LatencyHistogram::record(std::uint64_t ns) {
  counts_[bucket_of(ns)].fetch_add(1, std::memory_order_relaxed);
  std::uint64_t seen = max_.load(std::memory_order_relaxed);
  while (ns > seen &&
         !max_.compare_exchange_weak(seen, ns, std::memory_order_relaxed)) {
  }
}

void LatencyHistogram::reset() {
  for (std::atomic<std::uint64_t>& c : counts_) {
    c.store(0, std::memory_order_relaxed);
  }
  max_.store(0, std::memory_order_relaxed);
}

LatencyHistogram::Summary LatencyHistogram::summary() const {
  std::array<std::uint64_t, kBuckets> counts{};
  Summary out;
  for (std::size_t b = 0; b < kBuckets; ++b) {
    counts[b] = counts_[b].load(std::memory_order_relaxed);
    out.count += counts[b];
  }
  out.max = max_.load(std::memory_order_relaxed);
  if (out.count == 0) return out;
  // The value at rank ceil(q × count), as the top of its bucket (never
  // above the largest value recorded).
  const auto at = [&](std::uint64_t per_mille) {
    const std::uint64_t rank = (out.count * per_mille + 999) / 1000;
    std::uint64_t seen = 0;
    for (std::size_t b = 0; b < kBuckets; ++b) {
      seen += counts[b];
      if (seen >= rank) return std::min(bucket_top(b), out.max);
    }
    return out.max;
  };
  out.p50 = at(500);
  out.p90 = at(900);
  out.p99 = at(990);
  return out;
}

void TableStats::reset() {
  for (std::atomic<std::uint64_t>* c :
       {&calls, &rows_requested, &unique_rows, &rows_inline, &rows_by_workers,
        &bytes_read, &read_calls, &errors}) {
    c->store(0, std::memory_order_relaxed);
  }
  for (LatencyHistogram& h : latency) h.reset();
}

}  // namespace larkspur::io
