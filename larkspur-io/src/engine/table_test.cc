#include "larkspur-io/src/engine/table.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "larkspur-core/src/base/temp_dir_testing.h"
#include "larkspur-io/src/cache/row_cache.h"
#include "larkspur-io/src/engine/stats.h"
#include "larkspur-io/src/fetch/fetch_plan.h"

namespace larkspur::io {
namespace {

constexpr std::uint64_t kShards = 4;
constexpr std::uint64_t kRows = 3000;
constexpr std::uint64_t kWidth = 96;

std::byte content(std::uint64_t shard, std::uint64_t offset) {
  return static_cast<std::byte>((offset * 151 + offset / 389 + shard * 53 + 7) &
                                0xff);
}

// Four shards, the last one short, and the rows a gather must return.
class EngineTable : public ::testing::Test {
 protected:
  void SetUp() override {
    for (std::uint64_t s = 0; s < kShards; ++s) {
      const std::uint64_t size =
          s + 1 == kShards ? kRows * kWidth / 2 + 11 : kRows * kWidth;
      sizes_.push_back(size);
      std::string bytes(size, '\0');
      for (std::uint64_t o = 0; o < size; ++o)
        bytes[o] = static_cast<char>(content(s, o));
      dir_.write("shard_" + std::to_string(s) + ".bin", bytes);
    }
  }

  Table open(const EngineOptions& options = {}) {
    Result<Table> t =
        Table::open(dir_.path().string(), GeometryParts{kShards, kRows, kWidth},
                    32, options);
    EXPECT_TRUE(t) << t.error().text();
    return std::move(*t);
  }

  std::vector<std::byte> model(const std::vector<std::uint64_t>& ids) const {
    std::vector<std::byte> out;
    for (std::uint64_t id : ids) {
      const std::uint64_t s = id / kRows;
      for (std::uint64_t b = 0; b < kWidth; ++b) {
        const std::uint64_t off = id % kRows * kWidth + b;
        out.push_back(off < sizes_[s] ? content(s, off) : std::byte{0});
      }
    }
    return out;
  }

  // Three gathers submitted at once, each checked once done (its eventfd
  // readable by then): how many were wrong or failed.
  int submit_three(const Table& t, std::mt19937_64& rng) const;

  // 48 rows, a third of them from a hot tenth of the table, gathered (or
  // submitted and waited for): 1 if wrong or failed, else 0.
  int read_hot_rows(const Table& t, std::mt19937_64& rng, bool submit) const;

  // Publishes shard s again: the same bytes in a new file renamed over it.
  void republish(std::uint64_t s) {
    const std::string name = "shard_" + std::to_string(s) + ".bin";
    std::string bytes(sizes_[s], '\0');
    for (std::uint64_t o = 0; o < sizes_[s]; ++o)
      bytes[o] = static_cast<char>(content(s, o));
    dir_.write(name + ".new", bytes);
    std::filesystem::rename(dir_ / (name + ".new"), dir_ / name);
  }

  void evict() {
    for (std::uint64_t s = 0; s < kShards; ++s) {
      const UniqueFd fd(
          ::open((dir_ / ("shard_" + std::to_string(s) + ".bin")).c_str(),
                 O_RDONLY | O_CLOEXEC));
      ::fdatasync(fd.get());
      ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED);
    }
  }

 private:
  test::TempDir dir_;
  std::vector<std::uint64_t> sizes_;
};

std::vector<std::uint64_t> random_ids(std::mt19937_64& rng, std::size_t n) {
  std::vector<std::uint64_t> ids(n);
  for (std::uint64_t& id : ids) id = rng() % (kShards * kRows);
  return ids;
}

int EngineTable::read_hot_rows(const Table& t, std::mt19937_64& rng,
                               bool submit) const {
  std::vector<std::uint64_t> ids = random_ids(rng, 48);
  for (std::size_t k = 0; k < ids.size(); k += 3) ids[k] %= 1200;
  std::vector<std::byte> out(ids.size() * kWidth);
  if (submit) {
    Result<Table::Pending> p = t.submit(ids, out, 16);
    if (!p || !p->wait(std::chrono::seconds(30)) || !p->result()) return 1;
  } else if (!t.gather(ids, out, 16)) {
    return 1;
  }
  return out == model(ids) ? 0 : 1;
}

// Large requests run their cached pass on several threads, and rows the
// page cache lost go to the device pass: both give the model's bytes.
TEST_F(EngineTable, LargeAndColdRequestsMatchTheModel) {
  const Table t = open();
  std::mt19937_64 rng(5);
  for (const std::size_t n :
       {std::size_t{3}, kCallerRows, kCallerRows + 1, std::size_t{9000}}) {
    for (const bool cold : {false, true}) {
      if (cold) evict();
      const std::vector<std::uint64_t> ids = random_ids(rng, n);
      std::vector<std::byte> out(n * kWidth, std::byte{0xEE});
      const Status st = t.gather(ids, out);
      ASSERT_TRUE(st) << n << ": " << st.error().text();
      ASSERT_EQ(out, model(ids)) << n << (cold ? " cold" : " warm");
    }
  }
  const TableStats& s = t.stats();
  EXPECT_EQ(s.calls.load(), 8U);
  EXPECT_GT(s.rows_by_workers.load(), 0U);
  EXPECT_GT(s.rows_inline.load(), 0U);
  EXPECT_EQ(s.unique_rows.load(),
            s.rows_inline.load() + s.rows_by_workers.load());
}

TEST_F(EngineTable, RowsOutsideTheTableFailBeforeAnyRead) {
  const Table t = open();
  std::vector<std::byte> out(2 * kWidth);
  const Status st =
      t.gather(std::vector<std::uint64_t>{1, kShards * kRows}, out);
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().code(), ErrorCode::kOutOfRange);
  EXPECT_EQ(st.error().text(),
            "row id 12000 is out of range for a table of 12000 rows");
  EXPECT_EQ(t.stats().read_calls.load(), 0U);
  EXPECT_EQ(t.stats().errors.load(), 1U);
}

// Callers on several threads while another closes the table: each call
// either reads right or is refused, and the files close only after the
// last call that began has ended (checked by the descriptors).
TEST_F(EngineTable, CloseWhileOtherThreadsRead) {
  const Table t = open();
  std::atomic<int> wrong{0};
  std::atomic<int> refused{0};
  std::atomic<int> done{0};
  std::vector<std::thread> readers;
  readers.reserve(4);
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&, i] {
      std::mt19937_64 rng(static_cast<std::uint64_t>(i));
      while (true) {
        const std::vector<std::uint64_t> ids =
            random_ids(rng, 1 + rng() % 1500);
        std::vector<std::byte> out(ids.size() * kWidth);
        const Status st = t.gather(ids, out);
        if (!st) {
          if (st.error().text() != "the Table is closed") wrong.fetch_add(1);
          refused.fetch_add(1);
          return;
        }
        if (out != model(ids)) wrong.fetch_add(1);
        done.fetch_add(1);
      }
    });
  }
  while (done.load() < 20) std::this_thread::yield();
  t.close();
  t.close();
  for (std::thread& r : readers) r.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(refused.load(), 4);
}

int EngineTable::submit_three(const Table& t, std::mt19937_64& rng) const {
  std::vector<std::vector<std::uint64_t>> ids;
  std::vector<std::vector<std::byte>> outs;
  std::vector<Table::Pending> pending;
  ids.reserve(3);
  outs.reserve(3);
  pending.reserve(3);
  for (int j = 0; j < 3; ++j) {
    ids.push_back(random_ids(rng, 1 + rng() % 2000));
    outs.emplace_back(ids.back().size() * kWidth);
    Result<Table::Pending> p = t.submit(ids.back(), outs.back());
    if (!p) return 1;
    pending.push_back(std::move(*p));
  }
  int wrong = 0;
  for (std::size_t j = 0; j < pending.size(); ++j) {
    pending[j].wait();
    pollfd ready{pending[j].event_fd(), POLLIN, 0};
    if (!pending[j].result() || outs[j] != model(ids[j]) ||
        ::poll(&ready, 1, 0) != 1) {
      ++wrong;
    }
  }
  return wrong;
}

// Submitted gathers, three in flight from each of 4 threads, cold and warm:
// each equals the model once done, its eventfd readable by then.
TEST_F(EngineTable, SubmittedGathersMatchTheModel) {
  const Table t = open();
  std::atomic<int> wrong{0};
  std::vector<std::thread> callers;
  callers.reserve(4);
  for (int i = 0; i < 4; ++i) {
    callers.emplace_back([&, i] {
      std::mt19937_64 rng(100 + static_cast<std::uint64_t>(i));
      for (int round = 0; round < 8; ++round) {
        if (i == 0 && round % 2 == 0) evict();
        wrong.fetch_add(submit_three(t, rng));
      }
    });
  }
  for (std::thread& c : callers) c.join();
  EXPECT_EQ(wrong.load(), 0);
}

// A row cache far smaller than the rows asked for, under gathers and
// submits from several threads with the page cache dropped now and then:
// every byte is the file's, through hits, shared loads and evictions.
TEST_F(EngineTable, CachedGathersAndSubmitsMatchTheModel) {
  for (const std::uint32_t depth : {0U, 16U}) {
    EngineOptions options;
    options.queue_depth = depth;
    options.cache_bytes = 64 << 10;
    const Table t = open(options);
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    callers.reserve(4);
    for (int i = 0; i < 4; ++i) {
      callers.emplace_back([&, i] {
        std::mt19937_64 rng(200 + static_cast<std::uint64_t>(i));
        for (int round = 0; round < 40; ++round) {
          if (i == 0 && round % 10 == 0) evict();
          wrong.fetch_add(read_hot_rows(t, rng, round % 2 == 1));
        }
      });
    }
    for (std::thread& c : callers) c.join();
    EXPECT_EQ(wrong.load(), 0);
    const CacheCounts c = t.cache_counts();
    EXPECT_EQ(c.hits + c.misses, 4U * 40 * 48);
    EXPECT_GT(c.hits, 0U);
    EXPECT_GT(c.evictions, 0U);
    EXPECT_EQ(t.cache_state().rows_held, t.cache_state().capacity_rows);
  }
}

// refresh() swapping in republished files while other threads gather and
// submit: the calls that began on the old files finish on them, and every
// byte is right throughout.
TEST_F(EngineTable, RefreshWhileOthersRead) {
  for (const std::uint32_t depth : {0U, 16U}) {
    EngineOptions options;
    options.queue_depth = depth;
    options.cache_bytes = 64 << 10;
    const Table t = open(options);
    std::atomic<int> wrong{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> callers;
    callers.reserve(3);
    for (int i = 0; i < 3; ++i) {
      callers.emplace_back([&, i] {
        std::mt19937_64 rng(300 + static_cast<std::uint64_t>(i));
        for (int round = 0; !stop.load() || round < 10; ++round) {
          wrong.fetch_add(read_hot_rows(t, rng, round % 2 == 1));
        }
      });
    }
    int swapped = 0;
    for (int k = 0; k < 12; ++k) {
      republish(static_cast<std::uint64_t>(k) % kShards);
      Result<bool> changed = t.refresh();
      ASSERT_TRUE(changed) << changed.error().text();
      swapped += *changed ? 1 : 0;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    stop.store(true);
    for (std::thread& c : callers) c.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(swapped, 12);
    Result<bool> again = t.refresh();
    ASSERT_TRUE(again);
    EXPECT_FALSE(*again);
  }
}

// close() with a submission in flight: later calls are refused, and the
// submission still reads right, the files open until it is destroyed.
TEST_F(EngineTable, CloseWaitsForSubmissions) {
  const Table t = open();
  std::mt19937_64 rng(9);
  evict();
  const std::vector<std::uint64_t> ids = random_ids(rng, 3000);
  std::vector<std::byte> out(ids.size() * kWidth);
  {
    Result<Table::Pending> p = t.submit(ids, out);
    ASSERT_TRUE(p);
    t.close();
    std::vector<std::byte> other(kWidth);
    EXPECT_EQ(t.gather(std::vector<std::uint64_t>{1}, other).error().text(),
              "the Table is closed");
    EXPECT_TRUE(p->wait(std::chrono::seconds(30)));
    EXPECT_TRUE(p->result());
  }
  EXPECT_EQ(out, model(ids));
  EXPECT_FALSE(t.submit(ids, out));
}

TEST(LatencyHistogram, BucketsHoldTheirValuesAndPercentilesAreTight) {
  for (const std::uint64_t v :
       {0ULL, 7ULL, 8ULL, 15ULL, 16ULL, 17ULL, 1000ULL, 123456789ULL, ~0ULL}) {
    const std::size_t b = LatencyHistogram::bucket_of(v);
    ASSERT_LT(b, LatencyHistogram::kBuckets);
    EXPECT_GE(LatencyHistogram::bucket_top(b), v);
    if (b > 0) {
      EXPECT_LT(LatencyHistogram::bucket_top(b - 1), v);
    }
  }
  LatencyHistogram h;
  for (std::uint64_t v = 1; v <= 1000; ++v) h.record(v * 1000);
  const LatencyHistogram::Summary s = h.summary();
  EXPECT_EQ(s.count, 1000U);
  EXPECT_EQ(s.max, 1'000'000U);
  // Within the bucket's 12.5% above the exact value, never below it.
  EXPECT_GE(s.p50, 500'000U);
  EXPECT_LE(s.p50, 562'500U);
  EXPECT_GE(s.p99, 990'000U);
  EXPECT_LE(s.p99, s.max);
  h.reset();
  EXPECT_EQ(h.summary().count, 0U);
}

TEST(TableMeta, PartsAndTheirChecks) {
  Result<GeometryParts> p = parse_table_meta(
      R"({"version": 1, "shards": 2, "width": 8, "source": "x", "shards": 3})",
      "m");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->shards, 3U);  // the last of a repeated key
  EXPECT_EQ(p->width, 8U);
  EXPECT_FALSE(p->rows_per_shard);
  using namespace std::string_view_literals;
  for (const std::string_view bad :
       {R"({"shards": -1})"sv, R"({"shards": 1.5})"sv, R"({"width": true})"sv,
        R"({"version": 2})"sv, "[]"sv, "{"sv, "{\"a\": 1}\0"sv}) {
    EXPECT_FALSE(parse_table_meta(bad, "m")) << bad;
  }
}

}  // namespace
}  // namespace larkspur::io
