// Counters and latency histograms of a Table, cheap enough to keep on
// every call and safe to update from any number of threads.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace larkspur::io {

// Durations in nanoseconds in fixed log-linear buckets: eight buckets per
// power of two, so a percentile read from it is within 12.5% of the truth.
// Recording is one relaxed atomic add (and a maximum update).
class LatencyHistogram {
 public:
  static constexpr std::size_t kSubBits = 3;
  static constexpr std::size_t kBuckets = (64 - kSubBits + 1) << kSubBits;

  void record(std::uint64_t ns);
  void reset();

  // What a reader sees of it; the copy is not atomic as a whole.
  struct Summary {
    std::uint64_t count = 0;
    std::uint64_t p50 = 0;
    std::uint64_t p90 = 0;
    std::uint64_t p99 = 0;
    std::uint64_t max = 0;
  };
  Summary summary() const;

  // The bucket of `ns` and the largest value that bucket holds.
  static std::size_t bucket_of(std::uint64_t ns);
  static std::uint64_t bucket_top(std::size_t bucket);

 private:
  std::array<std::atomic<std::uint64_t>, kBuckets> counts_{};
  std::atomic<std::uint64_t> max_{0};
};

// What a Table's calls have done since it was opened or last reset.
struct TableStats {
  enum Kind : std::size_t { kGather, kLookup, kKinds };

  std::atomic<std::uint64_t> calls{0};
  std::atomic<std::uint64_t> rows_requested{0};
  std::atomic<std::uint64_t> unique_rows{0};
  std::atomic<std::uint64_t> rows_inline{0};
  std::atomic<std::uint64_t> rows_by_workers{0};
  std::atomic<std::uint64_t> bytes_read{0};
  std::atomic<std::uint64_t> read_calls{0};
  std::atomic<std::uint64_t> errors{0};
  std::array<LatencyHistogram, kKinds> latency;

  void reset();
};

}  // namespace larkspur::io
