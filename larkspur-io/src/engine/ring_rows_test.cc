#include "larkspur-io/src/engine/ring_rows.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "larkspur-core/src/base/temp_dir_testing.h"
#include "larkspur-io/src/engine/ring_engine.h"
#include "larkspur-io/src/fetch/fetch_plan.h"

namespace larkspur::io {
namespace {

constexpr std::uint64_t kShards = 3;

std::byte content(std::uint64_t shard, std::uint64_t offset) {
  return static_cast<std::byte>((offset * 151 + offset / 389 + shard * 53 + 7) &
                                0xff);
}

TEST(PlanSpans, JoinsRowsOfSharedOrTouchingPagesUpToTheLimit) {
  const ShardGeometry g{2, 1000, 160};
  // Rows 0 and 1 share page 0; row 26 (offset 4160) starts in page 1;
  // row 60 (9600) is two pages further; row 1000 is in the next shard.
  const std::vector<RowRef> refs{{0, 0},  {1, 1},  {1, 2},
                                 {26, 3}, {60, 4}, {1000, 5}};
  std::vector<RowSpan> spans;
  ASSERT_TRUE(plan_spans(refs, g, true, 16384, spans));
  ASSERT_EQ(spans.size(), 2U);
  EXPECT_EQ(spans[0].start, 0U);
  EXPECT_EQ(spans[0].length, 12288U);  // pages 0 to 2: rows 0, 1, 26, 60
  EXPECT_EQ(spans[0].end, 5U);
  EXPECT_EQ(spans[1].start, 0U);
  EXPECT_EQ(spans[1].shard, 1U);
  ASSERT_TRUE(plan_spans(refs, g, true, 8192, spans));
  EXPECT_EQ(spans.size(), 3U);
  EXPECT_EQ(spans[0].length, 8192U);  // row 60 alone from here
  // Unaligned: rows 0 and 1 end at 320, in page 0; row 26 starts in page 1.
  ASSERT_TRUE(plan_spans(refs, g, false, 16384, spans));
  ASSERT_EQ(spans.size(), 4U);
  EXPECT_EQ(spans[0].length, 320U);
  EXPECT_EQ(spans[1].start, 4160U);
  EXPECT_EQ(spans[1].length, 160U);
  // Offsets from 2^63 on are refused.
  EXPECT_FALSE(plan_spans(std::vector<RowRef>{{(1ULL << 62), 0}},
                          ShardGeometry{1, ~0ULL, 2}, false, 16384, spans));
}

// width, direct, depth, packed: the shards as parts of one file, at
// offsets off page and row boundaries, with other bytes around them (a
// checkpoint's tensors); else one file each.
class RingRowsTest : public ::testing::TestWithParam<
                         std::tuple<std::uint64_t, bool, int, bool>> {
 protected:
  void SetUp() override {
    width_ = std::get<0>(GetParam());
    rows_ = 40000 / width_ + 7;
    const bool packed = std::get<3>(GetParam());
    std::string file(1003, '\x5a');
    std::vector<std::string> paths;
    std::vector<ShardExtent> extents;
    for (std::uint64_t s = 0; s < kShards; ++s) {
      // The last shard ends inside a row and off a page boundary.
      const std::uint64_t size =
          s + 1 == kShards ? rows_ * width_ / 2 + 11 : rows_ * width_;
      sizes_.push_back(size);
      std::string bytes(size, '\0');
      for (std::uint64_t o = 0; o < size; ++o)
        bytes[o] = static_cast<char>(content(s, o));
      const std::string name = "shard_" + std::to_string(s) + ".bin";
      if (!packed) {
        dir_.write(name, bytes);
        continue;
      }
      extents.push_back({file.size(), size});
      file += bytes + std::string(333 + s, '\x5a');
    }
    const ShardGeometry geometry{kShards, rows_, width_};
    if (packed) {
      dir_.write("packed", file);
      paths.assign(kShards, (dir_.path() / "packed").string());
    }
    Result<Store> store = packed
                              ? Store::open_files(paths, extents, geometry, 4)
                              : Store::open(dir_.path().string(), geometry, 4);
    ASSERT_TRUE(store) << store.error().text();
    store_.emplace(std::move(*store));
  }

  std::vector<std::byte> model(const std::vector<RowRef>& refs) const {
    std::vector<std::byte> out(refs.size() * width_);
    for (const RowRef& r : refs) {
      const std::uint64_t s = r.rowid / rows_;
      for (std::uint64_t b = 0; b < width_; ++b) {
        const std::uint64_t off = r.rowid % rows_ * width_ + b;
        out[r.pos * width_ + b] =
            off < sizes_[s] ? content(s, off) : std::byte{0};
      }
    }
    return out;
  }

  // Three requests submitted at once, each checked once done: how many
  // were wrong or failed.
  int submit_three(RingEngine& engine, std::mt19937_64& rng) const;

  std::uint64_t width() const { return width_; }
  std::uint64_t rows() const { return rows_; }
  const Store& store() const { return *store_; }

 private:
  std::uint64_t width_ = 0;
  std::uint64_t rows_ = 0;
  test::TempDir dir_;
  std::vector<std::uint64_t> sizes_;
  std::optional<Store> store_;
};

TEST_P(RingRowsTest, EqualsTheFilesBytes) {
  const auto [width, direct, depth, packed] = GetParam();
  RingRowsOptions options;
  options.direct = direct;
  options.depth = static_cast<std::uint32_t>(depth);
  // Descriptors and slots registered with the ring or not: neither at
  // depth 1, the descriptors alone at 4.
  options.register_files = depth > 1;
  options.fixed_buffers = depth > 4;
  Result<std::unique_ptr<RingEngine>> engine =
      RingEngine::start(store(), options);
  if (!engine && direct && engine.error().sys_errno() == EINVAL) {
    GTEST_SKIP() << "no O_DIRECT on this file system";
  }
  ASSERT_TRUE(engine) << engine.error().text();
  std::mt19937_64 rng(width * 31 + static_cast<std::uint64_t>(depth));
  for (const std::size_t n : {1U, 2U, 16U, 300U, 3000U}) {
    std::vector<RowRef> refs(n);
    for (std::size_t k = 0; k < n; ++k) {
      // Repeats and neighbours as well as scattered rows.
      const std::uint64_t id =
          k % 5 == 4 ? refs[k - 1].rowid + (k % 2) : rng() % (kShards * rows());
      refs[k] = RowRef{std::min(id, kShards * rows() - 1), k};
    }
    const std::vector<std::byte> want = model(refs);
    std::sort(refs.begin(), refs.end());
    std::vector<std::byte> got(n * width, std::byte{0xee});
    Result<std::shared_ptr<RowJob>> job = RowJob::make(refs, got.data());
    ASSERT_TRUE(job);
    (*engine)->submit(*job);
    (*job)->wait();
    ASSERT_TRUE((*job)->result());
    EXPECT_EQ(got, want) << "n=" << n;
    EXPECT_LE((*job)->tally().rows, n);
    // The same rows on this thread's own ring.
    std::vector<std::byte> here(n * width, std::byte{0xee});
    ReadTally tally;
    ASSERT_TRUE(read_rows_here(refs, store().geometry(), direct,
                               options.max_span, (*engine)->read_fds(),
                               here.data(), tally, store().extents()));
    EXPECT_EQ(here, want) << "n=" << n << " here";
    // And through the page cache and the pool.
    std::vector<std::uint64_t> ids(n);
    for (const RowRef& r : refs) ids[r.pos] = r.rowid;
    std::vector<std::byte> pooled(n * width, std::byte{0xee});
    ASSERT_TRUE(gather_rows(store(), ids, pooled, nullptr));
    EXPECT_EQ(pooled, want) << "n=" << n << " pooled";
  }
}

// Requests of random sizes, repeats and neighbours among them, each with
// the bytes it must read, sorted as the readers take them.
std::vector<RowRef> random_refs(std::mt19937_64& rng, std::size_t n,
                                std::uint64_t rows) {
  std::vector<RowRef> refs(n);
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint64_t id =
        k % 5 == 4 ? refs[k - 1].rowid + (k % 2) : rng() % rows;
    refs[k] = RowRef{std::min(id, rows - 1), k};
  }
  return refs;
}

int RingRowsTest::submit_three(RingEngine& engine, std::mt19937_64& rng) const {
  std::vector<std::shared_ptr<RowJob>> jobs;
  std::vector<std::vector<std::byte>> outs;
  std::vector<std::vector<std::byte>> wants;
  for (int j = 0; j < 3; ++j) {
    std::vector<RowRef> refs =
        random_refs(rng, 1 + rng() % 600, kShards * rows());
    wants.push_back(model(refs));
    std::sort(refs.begin(), refs.end());
    outs.emplace_back(refs.size() * width(), std::byte{0xee});
    Result<std::shared_ptr<RowJob>> job =
        RowJob::make(std::move(refs), outs.back().data());
    if (!job) return 1;
    engine.submit(*job);
    jobs.push_back(*job);
  }
  int wrong = 0;
  for (std::size_t j = 0; j < jobs.size(); ++j) {
    jobs[j]->wait();
    if (!jobs[j]->result() || outs[j] != wants[j]) ++wrong;
  }
  return wrong;
}

TEST_P(RingRowsTest, EngineServesManyRequestsAtOnce) {
  const auto [_, direct, depth, packed] = GetParam();
  RingRowsOptions options;
  options.direct = direct;
  options.depth = static_cast<std::uint32_t>(depth);
  Result<std::unique_ptr<RingEngine>> engine =
      RingEngine::start(store(), options);
  if (!engine && direct && engine.error().sys_errno() == EINVAL) {
    GTEST_SKIP() << "no O_DIRECT on this file system";
  }
  ASSERT_TRUE(engine) << engine.error().text();
  std::atomic<int> wrong{0};
  std::vector<std::thread> callers;
  callers.reserve(4);
  for (std::uint64_t t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      std::mt19937_64 rng(t * 977 + width());
      // Several requests in flight from each caller.
      for (int round = 0; round < 6; ++round) {
        wrong.fetch_add(submit_three(**engine, rng));
      }
    });
  }
  for (std::thread& t : callers) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Widths, RingRowsTest,
    ::testing::Combine(::testing::Values(12, 160, 264, 2560, 5000),
                       ::testing::Bool(), ::testing::Values(1, 4, 128),
                       ::testing::Values(false)));
INSTANTIATE_TEST_SUITE_P(
    Packed, RingRowsTest,
    ::testing::Combine(::testing::Values(12, 160, 2560, 5000),
                       ::testing::Bool(), ::testing::Values(4, 128),
                       ::testing::Values(true)));

TEST(RingEngine, HandlesReportDoneWaitEventAndCancel) {
  test::TempDir dir;
  std::string bytes(1 << 20, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<char>(i % 251);
  dir.write("shard_0.bin", bytes);
  Result<Store> store =
      Store::open(dir.path().string(), ShardGeometry{1, (1 << 20) / 64, 64}, 1);
  ASSERT_TRUE(store);
  RingRowsOptions options;
  options.depth = 2;
  Result<std::unique_ptr<RingEngine>> engine =
      RingEngine::start(*store, options);
  ASSERT_TRUE(engine) << engine.error().text();

  std::vector<std::byte> out(64UL * 3);
  std::vector<RowRef> refs{{0, 0}, {100, 1}, {16383, 2}};
  Result<std::shared_ptr<RowJob>> job = RowJob::make(refs, out.data());
  ASSERT_TRUE(job);
  pollfd pfd{(*job)->event_fd(), POLLIN, 0};
  EXPECT_EQ(::poll(&pfd, 1, 0), 0);  // not before it is done
  (*engine)->submit(*job);
  EXPECT_TRUE((*job)->wait(std::chrono::seconds(10)));
  EXPECT_TRUE((*job)->done());
  EXPECT_TRUE((*job)->result());
  EXPECT_EQ(::poll(&pfd, 1, 0), 1);
  EXPECT_EQ(out[64], static_cast<std::byte>(6400 % 251));

  // A cancelled request ends, read in full or not: when it says it was
  // read, every row is there, whenever the cancel came (before its reads
  // went out, while they were in flight, after they landed).
  std::vector<RowRef> many;
  for (std::uint64_t r = 0; r < 16384; r += 7) many.push_back({r, many.size()});
  std::vector<std::byte> big(many.size() * 64);
  // Every read in flight at once, from the device: the cancel finds some.
  RingRowsOptions deep_options;
  deep_options.direct = true;
  Result<std::unique_ptr<RingEngine>> deep =
      RingEngine::start(*store, deep_options);
  RingEngine& canceller = deep ? **deep : **engine;
  for (int round = 0; round < 40; ++round) {
    std::fill(big.begin(), big.end(), std::byte{0xee});
    Result<std::shared_ptr<RowJob>> cancelled = RowJob::make(many, big.data());
    ASSERT_TRUE(cancelled);
    canceller.submit(*cancelled);
    std::this_thread::sleep_for(std::chrono::microseconds(round * 5));
    (*cancelled)->cancel();
    EXPECT_TRUE((*cancelled)->wait(std::chrono::seconds(10)));
    const Status why = (*cancelled)->result();
    ASSERT_TRUE(why || why.error().sys_errno() == ECANCELED);
    for (std::size_t k = 0; why && k < many.size(); ++k) {
      ASSERT_EQ(big[k * 64], static_cast<std::byte>(many[k].rowid * 64 % 251))
          << "round " << round << ", row " << many[k].rowid;
    }
  }

  // Destroying the engine waits for the requests still in it.
  Result<std::shared_ptr<RowJob>> last = RowJob::make(many, big.data());
  ASSERT_TRUE(last);
  (*engine)->submit(*last);
  engine->reset();
  EXPECT_TRUE((*last)->done());
  EXPECT_TRUE((*last)->result());
  EXPECT_EQ(big[64], static_cast<std::byte>(448 % 251));
}

TEST(RingEngine, UnreachableOffsetsFailTheirRequestAlone) {
  test::TempDir dir;
  dir.write("shard_0.bin", std::string(8192, 'x'));
  Result<Store> store =
      Store::open(dir.path().string(), ShardGeometry{1, ~0ULL, 64}, 1);
  ASSERT_TRUE(store);
  Result<std::unique_ptr<RingEngine>> engine =
      RingEngine::start(*store, RingRowsOptions{});
  ASSERT_TRUE(engine);
  std::vector<std::byte> out(64);
  Result<std::shared_ptr<RowJob>> bad =
      RowJob::make({{1ULL << 62, 0}}, out.data());
  Result<std::shared_ptr<RowJob>> good = RowJob::make({{3, 0}}, out.data());
  ASSERT_TRUE(bad && good);
  (*engine)->submit(*bad);
  (*bad)->wait();
  EXPECT_EQ((*bad)->result().error().sys_errno(), EINVAL);
  (*engine)->submit(*good);
  (*good)->wait();
  EXPECT_TRUE((*good)->result());
  EXPECT_EQ(out[0], std::byte{'x'});
}

}  // namespace
}  // namespace larkspur::io
