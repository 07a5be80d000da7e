#include "larkspur-io/src/cache/row_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "larkspur-io/src/cache/cache_size.h"
#include "larkspur-io/src/cache/s3fifo.h"

namespace larkspur::io {
namespace {

// S3-FIFO as plainly as it can be written, to check the arrays against.
class ModelS3Fifo {
 public:
  explicit ModelS3Fifo(std::uint32_t slots)
      : slots_(slots),
        small_cap_(std::max<std::uint32_t>(1, slots / 10)),
        ghost_ring_(std::max<std::uint32_t>(1, slots - small_cap_)) {}

  bool holds(std::uint64_t key) const { return count_.contains(key); }
  void touch(std::uint64_t key) { count_[key] = std::min(count_[key] + 1, 3U); }
  void admit(std::uint64_t key, std::uint32_t uses) {
    if (count_.size() == slots_) evict();
    count_[key] = std::min(uses, 3U);
    if (auto it = ghost_.find(key); it != ghost_.end()) {
      ghost_.erase(it);
      main_.push_back(key);
    } else {
      small_.push_back(key);
    }
  }
  std::size_t held() const { return count_.size(); }

 private:
  void evict() {
    for (;;) {
      if (small_.size() >= small_cap_ || main_.empty()) {
        const std::uint64_t t = small_.front();
        small_.pop_front();
        if (count_[t] != 0) {
          count_[t] = 0;
          main_.push_back(t);
          continue;
        }
        count_.erase(t);
        // The ghost remembers the last ghost_ring_.size() keys sent to it.
        if (std::optional<std::uint64_t> old = ghost_ring_[ghost_at_]) {
          if (auto it = ghost_.find(*old);
              it != ghost_.end() && it->second == ghost_at_) {
            ghost_.erase(it);
          }
        }
        ghost_ring_[ghost_at_] = t;
        ghost_[t] = ghost_at_;
        ghost_at_ = (ghost_at_ + 1) % ghost_ring_.size();
        return;
      }
      const std::uint64_t t = main_.front();
      main_.pop_front();
      if (count_[t] != 0) {
        --count_[t];
        main_.push_back(t);
        continue;
      }
      count_.erase(t);
      return;
    }
  }

  std::uint32_t slots_;
  std::uint32_t small_cap_;
  std::map<std::uint64_t, std::uint32_t> count_;
  std::deque<std::uint64_t> small_;
  std::deque<std::uint64_t> main_;
  std::vector<std::optional<std::uint64_t>> ghost_ring_;
  std::map<std::uint64_t, std::size_t> ghost_;
  std::size_t ghost_at_ = 0;
};

// Keys drawn from a skewed distribution, so rows come back while in each
// queue and while in the ghost.
std::vector<std::uint64_t> skewed_keys(std::size_t n, std::uint64_t distinct,
                                       std::uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<double> weights(distinct);
  for (std::uint64_t i = 0; i < distinct; ++i)
    weights[i] = 1.0 / (1.0 + static_cast<double>(i));
  std::discrete_distribution<std::uint64_t> pick(weights.begin(),
                                                 weights.end());
  std::vector<std::uint64_t> keys(n);
  // Spread out, so keys neighbour nothing in the tables.
  for (std::uint64_t& k : keys) k = pick(rng) * 0x10001 + 7;
  return keys;
}

class S3FifoModelTest : public testing::TestWithParam<std::uint32_t> {};

TEST_P(S3FifoModelTest, AgreesWithTheModelAtEveryStep) {
  const std::uint32_t slots = GetParam();
  std::vector<std::byte> arrays(S3Fifo::bookkeeping_bytes(slots));
  S3Fifo policy(slots, arrays);
  ModelS3Fifo model(slots);
  std::mt19937 uses_rng(slots);
  const std::vector<std::uint64_t> keys =
      skewed_keys(20000, std::uint64_t{slots} * 4 + 3, slots);
  std::size_t hits = 0;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const std::uint64_t k = keys[i];
    const std::uint32_t slot = policy.find(k);
    ASSERT_EQ(slot != S3Fifo::kNone, model.holds(k)) << "access " << i;
    if (slot != S3Fifo::kNone) {
      ++hits;
      policy.touch(slot);
      model.touch(k);
      continue;
    }
    const auto uses =
        static_cast<std::uint32_t>(uses_rng() % 5);  // 4 and over keep 3
    bool evicted = false;
    const std::uint32_t got = policy.admit(k, uses, evicted);
    ASSERT_LT(got, slots);
    ASSERT_EQ(evicted, model.held() == slots);
    model.admit(k, uses);
    ASSERT_EQ(policy.find(k), got);
    ASSERT_EQ(policy.held(), model.held());
  }
  // Neither all hits nor none: the stream exercised eviction.
  EXPECT_GT(hits, keys.size() / 10);
  EXPECT_LT(hits, keys.size());
  policy.clear();
  EXPECT_EQ(policy.held(), 0U);
  for (std::uint64_t k : keys) EXPECT_EQ(policy.find(k), S3Fifo::kNone);
}

INSTANTIATE_TEST_SUITE_P(Slots, S3FifoModelTest,
                         testing::Values(1U, 2U, 9U, 10U, 64U, 1000U));

// Row r's bytes as a table would hold them.
void fill_row(std::uint64_t r, std::span<std::byte> row) {
  for (std::size_t i = 0; i < row.size(); ++i) {
    row[i] = static_cast<std::byte>((r * 131 + i * 7) >> (i % 3));
  }
}

std::vector<std::byte> rows_of(std::span<const std::uint64_t> ids,
                               std::size_t width) {
  std::vector<std::byte> rows(ids.size() * width);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    fill_row(ids[i], std::span(rows).subspan(i * width, width));
  }
  return rows;
}

TEST(RowCacheTest, CapacityStaysWithinTheBudget) {
  for (const std::uint64_t width : {1U, 8U, 160U, 2560U}) {
    for (std::uint64_t budget = 1; budget < (std::uint64_t{1} << 33);
         budget = budget * 3 + 1) {
      const std::uint64_t rows = RowCache::capacity(budget, width);
      if (rows == 0) continue;
      EXPECT_LE(rows * width, budget) << width << " " << budget;
      // Most of a large budget holds rows.
      if (budget > (std::uint64_t{1} << 24)) {
        EXPECT_GT(rows * (width + 48), budget) << width << " " << budget;
      }
    }
  }
  EXPECT_EQ(RowCache::capacity(1000, 0), 0U);
  EXPECT_EQ(RowCache::make(100, 160).error().sys_errno(), EINVAL);
}

TEST(RowCacheTest, ServesHitsAndCountsThem) {
  constexpr std::size_t kWidth = 24;
  Result<std::unique_ptr<RowCache>> cache = RowCache::make(1 << 16, kWidth);
  ASSERT_TRUE(cache);
  // Positions 0 and 2 are one row: read once, and its second use counts
  // as a hit.
  const std::vector<std::uint64_t> ids = {5, 9, 5, 40};
  std::vector<std::byte> out(ids.size() * kWidth);
  {
    RowCache::Call call(**cache, ids, out, 0, true);
    ASSERT_EQ(call.miss_ids(), (std::vector<std::uint64_t>{5, 9, 40}));
    const std::vector<std::uint64_t> misses = call.miss_ids();
    Result<std::vector<std::uint64_t>> again =
        call.finish(ok(), rows_of(misses, kWidth));
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->empty());
  }
  EXPECT_EQ(out, rows_of(ids, kWidth));
  std::vector<std::byte> out2(ids.size() * kWidth);
  {
    RowCache::Call call(**cache, ids, out2, 0, true);
    EXPECT_TRUE(call.misses().empty());
    ASSERT_TRUE(call.finish(ok(), {}));
  }
  EXPECT_EQ(out2, out);
  const CacheCounts c = (*cache)->counts();
  EXPECT_EQ(c.misses, 3U);
  EXPECT_EQ(c.hits, 5U);
  EXPECT_EQ(c.admissions, 3U);
  EXPECT_EQ((*cache)->rows_held(), 3U);
  (*cache)->clear();
  EXPECT_EQ((*cache)->rows_held(), 0U);
}

TEST(RowCacheTest, CountsByOrderForTokenCalls) {
  constexpr std::size_t kWidth = 8;
  Result<std::unique_ptr<RowCache>> cache = RowCache::make(1 << 16, kWidth);
  ASSERT_TRUE(cache);
  std::vector<std::uint64_t> ids(32);
  for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = i % 16 < 8 ? i : 1000;
  std::vector<std::byte> out(ids.size() * kWidth);
  RowCache::Call call(**cache, ids, out, 16, true);
  ASSERT_TRUE(call.finish(ok(), rows_of(call.miss_ids(), kWidth)));
  const CacheCounts c = (*cache)->counts();
  // Heads 0-7: 16 distinct rows; heads 8-15: one row, used 16 times.
  EXPECT_EQ(c.misses_low, 16U);
  EXPECT_EQ(c.hits_low, 0U);
  EXPECT_EQ(c.misses_high, 1U);
  EXPECT_EQ(c.hits_high, 15U);
  EXPECT_EQ(out, rows_of(ids, kWidth));
}

// A row another call is reading: waited for, or read again by a call that
// must not wait; a failed read leaves the waiter to read it.
TEST(RowCacheTest, ConcurrentMissesShareOneRead) {
  constexpr std::size_t kWidth = 16;
  Result<std::unique_ptr<RowCache>> cache = RowCache::make(1 << 16, kWidth);
  ASSERT_TRUE(cache);
  const std::vector<std::uint64_t> ids = {77, 78};
  for (const bool fail : {false, true}) {
    std::vector<std::byte> first(ids.size() * kWidth);
    std::vector<std::byte> second(ids.size() * kWidth);
    std::vector<std::byte> third(ids.size() * kWidth);
    auto a = std::make_unique<RowCache::Call>(**cache, ids, first, 0, true);
    ASSERT_EQ(a->misses().size(), 2U);
    RowCache::Call b(**cache, ids, second, 0, true);
    EXPECT_TRUE(b.misses().empty());
    RowCache::Call c(**cache, ids, third, 0, false);
    ASSERT_EQ(c.misses().size(), 2U);
    EXPECT_FALSE(c.misses()[0].publish);
    Result<std::vector<std::uint64_t>> b_got = std::vector<std::uint64_t>{};
    std::thread waiter([&] { b_got = b.finish(ok(), {}); });
    if (fail) {
      a.reset();  // dropped unfinished: its loads fail
    } else {
      ASSERT_TRUE(a->finish(ok(), rows_of(ids, kWidth)));
    }
    waiter.join();
    ASSERT_TRUE(b_got);
    if (fail) {
      EXPECT_EQ(*b_got, (std::vector<std::uint64_t>{0, 1}));
      EXPECT_EQ((*cache)->rows_held(), 0U);
    } else {
      EXPECT_TRUE(b_got->empty());
      EXPECT_EQ(second, rows_of(ids, kWidth));
      EXPECT_EQ((*cache)->rows_held(), 2U);
    }
    ASSERT_TRUE(c.finish(ok(), rows_of(ids, kWidth)));
    EXPECT_EQ(third, rows_of(ids, kWidth));
    (*cache)->clear();
  }
}

TEST(RowCacheTest, ReadsClaimedBeforeAClearAreNotAdmitted) {
  Result<std::unique_ptr<RowCache>> cache = RowCache::make(1 << 16, 8);
  ASSERT_TRUE(cache);
  const std::vector<std::uint64_t> ids = {1, 2, 3};
  std::vector<std::byte> out(ids.size() * 8);
  RowCache::Call call(**cache, ids, out, 0, true);
  (*cache)->clear();
  ASSERT_TRUE(call.finish(ok(), rows_of(ids, 8)));
  EXPECT_EQ(out, rows_of(ids, 8));
  EXPECT_EQ((*cache)->rows_held(), 0U);
}

// Eight threads on a cache a fraction of the rows they ask for: every byte
// served equals the row's, through hits, loads shared between calls and
// evictions.
TEST(RowCacheTest, ManyThreadsUnderEvictionGetExactRows) {
  constexpr std::size_t kWidth = 40;
  Result<std::unique_ptr<RowCache>> cache =
      RowCache::make(std::uint64_t{2000} * (kWidth + 64), kWidth);
  ASSERT_TRUE(cache);
  constexpr int kThreads = 8;
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  std::atomic<std::uint64_t> wrong{0};
  std::atomic<std::uint64_t> reads{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::vector<std::uint64_t> keys =
          skewed_keys(30000, 20000, static_cast<std::uint32_t>(t));
      for (std::size_t at = 0; at < keys.size(); at += 16) {
        const std::span<const std::uint64_t> ids(keys.data() + at, 16);
        std::vector<std::byte> out(ids.size() * kWidth);
        RowCache::Call call(**cache, ids, out, 16, t % 2 == 0);
        const std::vector<std::uint64_t> miss = call.miss_ids();
        reads.fetch_add(miss.size());
        Result<std::vector<std::uint64_t>> again =
            call.finish(ok(), rows_of(miss, kWidth));
        if (!again) {
          wrong.fetch_add(1);
          continue;
        }
        for (const std::uint64_t pos : *again) {
          fill_row(ids[pos], std::span(out).subspan(pos * kWidth, kWidth));
        }
        if (out != rows_of(ids, kWidth)) wrong.fetch_add(1);
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0U);
  const CacheCounts c = (*cache)->counts();
  EXPECT_EQ(c.hits + c.misses, std::uint64_t{kThreads} * 30000);
  EXPECT_EQ(c.misses, reads.load());
  EXPECT_GT(c.evictions, 0U);
  EXPECT_EQ(c.admissions - c.evictions, (*cache)->rows_held());
  EXPECT_EQ((*cache)->rows_held(), (*cache)->capacity_rows());
}

TEST(CacheSizeTest, ReadsUnitsAndRefusesTheRest) {
  const std::vector<std::pair<std::string_view, std::uint64_t>> good = {
      {"0", 0},
      {"65536", 65536},
      {" 4GiB ", std::uint64_t{4} << 30},
      {"4 gib", std::uint64_t{4} << 30},
      {"1.5GiB", std::uint64_t{3} << 29},
      {"512MB", 512'000'000},
      {"2kB", 2000},
      {"7b", 7},
      {"16TiB", std::uint64_t{16} << 40},
      {"0.5B", 0},
      {"18446744073709551615", 18446744073709551615ULL},
  };
  for (const auto& [text, bytes] : good) {
    EXPECT_EQ(parse_byte_size(text), bytes) << text;
  }
  for (const std::string_view bad :
       {"", "GiB", "-1", "4 GiBs", "4GB5", "1e9", "4..5GiB", "4Gi", "x",
        "18446744073709551616", "16777216TiB"}) {
    EXPECT_EQ(parse_byte_size(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace larkspur::io
