// Row fetch against a model of the shard files, plus the read pattern,
// error and fault behaviour.
#include "larkspur-io/src/fetch/fetch_plan.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "larkspur-core/src/base/temp_dir_testing.h"

namespace larkspur::io {
namespace {

// Byte `offset` of shard `shard`; not periodic in any power of two.
std::byte content(std::uint64_t shard, std::uint64_t offset) {
  return static_cast<std::byte>(
      (offset * 131 + offset / 977 + shard * 71 + 13) & 0xff);
}

struct Read {
  int fd;
  std::uint64_t offset;
  std::size_t length;
  pthread_t thread;
};

// pread, logging every call; optionally failing on one descriptor.
class RecordingReader final : public PositionalReader {
 public:
  Result<std::size_t> read_at(int fd, std::span<std::byte> buf,
                              std::uint64_t offset) const override {
    {
      const std::lock_guard lock(mu_);
      log_.push_back(Read{fd, offset, buf.size(), ::pthread_self()});
      if (fd == fail_fd_) return Error::from_errno(fail_errno_);
    }
    const ssize_t n =
        ::pread(fd, buf.data(), buf.size(), static_cast<off_t>(offset));
    if (n < 0) return Error::from_errno(errno);
    return static_cast<std::size_t>(n);
  }

  void fail_on(int fd, int err) {
    const std::lock_guard lock(mu_);
    fail_fd_ = fd;
    fail_errno_ = err;
  }
  std::vector<Read> take() {
    const std::lock_guard lock(mu_);
    return std::exchange(log_, {});
  }

 private:
  mutable std::mutex mu_;
  mutable std::vector<Read> log_;  // guarded by mu_
  int fail_fd_ = -1;               // guarded by mu_
  int fail_errno_ = 0;             // guarded by mu_
};

// Shard files of given sizes in a temporary directory, and the model of
// what a fetch must return from them.
class Table : public ::testing::Test {
 protected:
  std::string shard_path(std::uint64_t s) const {
    return dir_ / ("shard_" + std::to_string(s) + ".bin");
  }

  void write_shards(const std::vector<std::uint64_t>& sizes) {
    sizes_ = sizes;
    for (std::uint64_t s = 0; s < sizes.size(); ++s) {
      std::string bytes(sizes[s], '\0');
      for (std::uint64_t o = 0; o < sizes[s]; ++o) {
        bytes[o] = static_cast<char>(content(s, o));
      }
      dir_.write("shard_" + std::to_string(s) + ".bin", bytes);
    }
  }

  Store store(std::uint64_t rows_per_shard, std::uint64_t width,
              std::uint64_t threads,
              const PositionalReader& reader = pread_reader()) {
    std::vector<UniqueFd> fds;
    for (std::size_t s = 0; s < sizes_.size(); ++s) {
      fds.emplace_back(::open(shard_path(s).c_str(), O_RDONLY | O_CLOEXEC));
      EXPECT_TRUE(fds.back().valid());
    }
    return Store(std::move(fds),
                 ShardGeometry{sizes_.size(), rows_per_shard, width}, threads,
                 reader);
  }

  // Row after row, with zeros past the end of each file.
  std::vector<std::byte> model(const ShardGeometry& g,
                               const std::vector<std::uint64_t>& ids) {
    std::vector<std::byte> out;
    for (std::uint64_t id : ids) {
      const RowLocation at = g.locate(id);
      for (std::uint64_t b = 0; b < g.width; ++b) {
        const std::uint64_t off = at.byte_offset + b;
        out.push_back(off < sizes_[at.shard] ? content(at.shard, off)
                                             : std::byte{0});
      }
    }
    return out;
  }

  static Result<std::vector<std::byte>> fetch(
      const Store& s, const std::vector<std::uint64_t>& ids) {
    const Result<std::size_t> size =
        fetch_output_size(ids.size(), s.geometry().width);
    if (!size) return size.error();
    // Garbage, not zeros: every byte must be written by the fetch.
    std::vector<std::byte> out(*size, std::byte{0xEE});
    if (Status st = fetch_rows(s, ids, out); !st) return std::move(st).error();
    return out;
  }

  test::TempDir& dir() { return dir_; }
  std::vector<std::uint64_t>& sizes() { return sizes_; }

 private:
  test::TempDir dir_;
  std::vector<std::uint64_t> sizes_;
};

struct ModelCase {
  const char* label;
  std::uint64_t width;
  std::uint64_t rows_per_shard;
  std::uint64_t threads;
  std::vector<std::uint64_t> rows_in_file;  // per shard; may be short
  std::uint64_t file_tail;                  // extra bytes after the last row
};

// Row contents are also tested from Python; here they run under the
// thread sanitizer too.
class FetchMatchesModel : public Table,
                          public ::testing::WithParamInterface<ModelCase> {};

TEST_P(FetchMatchesModel, RandomClusteredAndRepeatedRows) {
  const ModelCase& c = GetParam();
  std::vector<std::uint64_t> sizes;
  for (std::uint64_t rows : c.rows_in_file)
    sizes.push_back(rows * c.width + c.file_tail);
  write_shards(sizes);
  const Store s = store(c.rows_per_shard, c.width, c.threads);
  const std::uint64_t total = sizes.size() * c.rows_per_shard;

  std::mt19937_64 rng(c.width * 7919 + c.threads);
  for (int round = 0; round < 6; ++round) {
    std::vector<std::uint64_t> ids;
    ids.reserve(40);
    for (int i = 0; i < 40; ++i) ids.push_back(rng() % total);
    // A run of neighbours (shared pages), a repeat and a descending run.
    const std::uint64_t start = rng() % total;
    for (std::uint64_t k = 0; k < 12; ++k) ids.push_back((start + k) % total);
    ids.push_back(ids[3]);
    ids.push_back(ids[3]);
    for (std::uint64_t k = 8; k > 0; --k)
      ids.push_back((start + 3 * k) % total);
    std::shuffle(ids.begin() + round, ids.end(), rng);
    const auto got = fetch(s, ids);
    ASSERT_TRUE(got) << got.error().text();
    ASSERT_EQ(*got, model(s.geometry(), ids)) << "round " << round;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, FetchMatchesModel,
    ::testing::Values(ModelCase{"W64", 64, 300, 32, {300, 300, 300}, 0},
                      ModelCase{"W64OneThread", 64, 300, 1, {300, 300, 300}, 0},
                      ModelCase{
                          "W64ZeroThreads", 64, 300, 0, {300, 300, 300}, 0},
                      ModelCase{"W64TwoThreadsFiveShards",
                                64,
                                100,
                                2,
                                {100, 100, 100, 100, 100},
                                0},
                      ModelCase{"W1", 1, 9000, 32, {9000, 9000}, 0},
                      ModelCase{"W100", 100, 500, 4, {500, 500, 500}, 0},
                      ModelCase{"W3000CrossesPages", 3000, 40, 32, {40, 40}, 0},
                      ModelCase{"W4096", 4096, 20, 32, {20, 20}, 0},
                      ModelCase{"W5000AbovePage", 5000, 20, 3, {20, 20, 20}, 0},
                      ModelCase{"ShortShards", 64, 1000, 32, {70, 0, 999}, 0},
                      ModelCase{"RowStraddlesEof", 96, 200, 32, {50, 7}, 40},
                      ModelCase{"ShortShardsWide", 6000, 10, 32, {3, 0}, 100}),
    [](const auto& p) { return std::string(p.param.label); });

TEST_F(Table, RowsOfOnePageShareOneRead) {
  write_shards({64UL * 64 * 2});
  RecordingReader reader;
  const Store s = store(128, 64, 32, reader);
  // Rows 0..63 fill page 0 exactly; asked for backwards and twice.
  std::vector<std::uint64_t> ids;
  for (std::uint64_t r = 64; r-- > 0;) ids.push_back(r);
  ids.push_back(7);
  ASSERT_TRUE(fetch(s, ids));
  const auto reads = reader.take();
  ASSERT_EQ(reads.size(), 1U);
  EXPECT_EQ(reads[0].offset, 0U);
  EXPECT_EQ(reads[0].length, 4096U);

  // Rows of two pages: one read each, in offset order.
  ASSERT_TRUE(fetch(s, {70, 3, 64, 1}));
  const auto two = reader.take();
  ASSERT_EQ(two.size(), 2U);
  EXPECT_EQ(two[0].offset, 64U);
  EXPECT_EQ(two[1].offset, 4096U);
}

TEST_F(Table, RowsCrossingAPageEndAndWideRowsAreReadAtTheirOwnOffset) {
  write_shards({3000UL * 4, 6000UL * 2});
  RecordingReader reader;
  {
    const Store s = store(4, 3000, 32, reader);
    ASSERT_TRUE(fetch(s, {1}));  // bytes 3000..5999
    const auto reads = reader.take();
    ASSERT_EQ(reads.size(), 1U);
    EXPECT_EQ(reads[0].offset, 3000U);
    EXPECT_EQ(reads[0].length, 3000U);
  }
}

TEST_F(Table, EachShardIsReadByOneJobInAscendingOffsets) {
  write_shards({64UL * 1000, 64UL * 1000, 64UL * 1000});
  RecordingReader reader;
  std::vector<std::uint64_t> ids;
  ids.reserve(300);
  std::mt19937_64 rng(3);
  for (int i = 0; i < 300; ++i) ids.push_back(rng() % 3000);
  for (std::uint64_t threads : {1U, 32U}) {
    const Store s = store(1000, 64, threads, reader);
    ASSERT_TRUE(fetch(s, ids));
    std::map<int, std::vector<Read>> by_fd;
    std::set<pthread_t> threads_used;
    std::vector<int> fd_order;
    for (const Read& r : reader.take()) {
      by_fd[r.fd].push_back(r);
      threads_used.insert(r.thread);
      if (fd_order.empty() || fd_order.back() != r.fd) fd_order.push_back(r.fd);
    }
    ASSERT_EQ(by_fd.size(), 3U);
    for (const auto& [fd, reads] : by_fd) {
      EXPECT_TRUE(std::is_sorted(
          reads.begin(), reads.end(),
          [](const Read& a, const Read& b) { return a.offset < b.offset; }));
      for (const Read& r : reads) EXPECT_EQ(r.thread, reads[0].thread);
    }
    if (threads == 1) {
      EXPECT_EQ(threads_used.size(), 1U);
      // One job walks the shards in ascending order.
      EXPECT_EQ(fd_order, (std::vector<int>{s.fd(0), s.fd(1), s.fd(2)}));
    }
  }
}

TEST_F(Table, ReadErrorFailsTheCallAndTheStoreStaysUsable) {
  write_shards({6400, 6400, 6400});
  RecordingReader reader;
  const Store s = store(100, 64, 32, reader);
  const std::vector<std::uint64_t> ids = {5, 105, 205, 6};
  reader.fail_on(s.fd(1), EIO);
  const auto failed = fetch(s, ids);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().code(), ErrorCode::kIo);
  EXPECT_EQ(failed.error().text(), "Input/output error (os error 5)");
  reader.fail_on(-1, 0);
  const auto again = fetch(s, ids);
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, model(s.geometry(), ids));
}

TEST_F(Table, ShardPastTheTableIsAFaultEvenWithAReadError) {
  write_shards({6400, 6400, 6400});
  RecordingReader reader;
  const Store s = store(100, 64, 32, reader);
  const auto out_of_range = fetch(s, {5, 300, 7});
  ASSERT_FALSE(out_of_range);
  EXPECT_EQ(out_of_range.error().code(), ErrorCode::kFault);
  EXPECT_EQ(out_of_range.error().text(),
            "index out of bounds: the len is 3 but the index is 3");
  reader.fail_on(s.fd(0), EIO);
  const auto both = fetch(s, {5, 520});
  ASSERT_FALSE(both);
  EXPECT_EQ(both.error().text(),
            "index out of bounds: the len is 3 but the index is 5");
}

TEST_F(Table, ZeroWidthReadsNothingButStillChecksShards) {
  write_shards({64});
  RecordingReader reader;
  const Store s = store(10, 0, 32, reader);
  const auto got = fetch(s, {1, 2, 9});
  ASSERT_TRUE(got);
  EXPECT_TRUE(got->empty());
  EXPECT_TRUE(reader.take().empty());
  const auto failed = fetch(s, {1, 10});
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().text(),
            "index out of bounds: the len is 1 but the index is 1");
}

TEST_F(Table, ManyMoreShardsThanRowsAreGroupedBySorting) {
  // Shards 0 and 1 have rows; the other 4998 are one empty file, shared.
  write_shards({16, 16});
  std::vector<UniqueFd> fds;
  for (std::uint64_t s : {0U, 1U}) {
    fds.emplace_back(::open(shard_path(s).c_str(), O_RDONLY | O_CLOEXEC));
  }
  const UniqueFd empty(
      ::open(dir().write("empty", "").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(empty.valid());
  while (fds.size() < 5000) fds.emplace_back(::dup(empty.get()));
  sizes().resize(5000, 0);
  const Store s(std::move(fds), ShardGeometry{5000, 2, 8}, 32);
  const std::vector<std::uint64_t> ids = {9999, 2,    1,    4000, 3,
                                          0,    4001, 9998, 1};
  const auto got = fetch(s, ids);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, model(s.geometry(), ids));
  const auto failed = fetch(s, {1, 10001});
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().text(),
            "index out of bounds: the len is 5000 but the index is 5000");
}

TEST_F(Table, ConcurrentFetchesFromOneStore) {
  write_shards({64UL * 500, 64UL * 500, 64UL * 500, 64UL * 500});
  const Store s = store(500, 64, 32);
  std::vector<std::thread> callers;
  callers.reserve(8);
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 8; ++t) {
    callers.emplace_back([&, t] {
      std::mt19937_64 rng(static_cast<std::uint64_t>(t));
      for (int round = 0; round < 25; ++round) {
        std::vector<std::uint64_t> ids;
        ids.reserve(64);
        for (int i = 0; i < 64; ++i) ids.push_back(rng() % 2000);
        const auto got = fetch(s, ids);
        if (!got || *got != model(s.geometry(), ids)) mismatches.fetch_add(1);
      }
    });
  }
  for (std::thread& t : callers) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

// A reader whose page cache is scripted: every cached read misses, or
// finds only the first half of what it asks for.
class ScriptedCacheReader final : public PositionalReader {
 public:
  // kOddPages: the page cache holds the even pages alone, and says so
  // when asked.
  enum class Cache { kMiss, kHalf, kUnsupported, kOddPages };
  struct Event {
    char kind;  // 'c' cached read, 'r' read, 'p' prefetch
    std::uint64_t offset;
    std::uint64_t length;
  };

  explicit ScriptedCacheReader(Cache cache) : cache_(cache) {}

  Result<std::size_t> read_at(int fd, std::span<std::byte> buf,
                              std::uint64_t offset) const override {
    log('r', offset, buf.size());
    const ssize_t n =
        ::pread(fd, buf.data(), buf.size(), static_cast<off_t>(offset));
    if (n < 0) return Error::from_errno(errno);
    return static_cast<std::size_t>(n);
  }
  Result<CachedRead> read_cached(int fd, std::span<std::byte> buf,
                                 std::uint64_t offset) const override {
    log('c', offset, buf.size());
    switch (cache_) {
      case Cache::kMiss:
        return CachedRead{CachedRead::State::kWouldBlock, 0};
      case Cache::kUnsupported:
        return CachedRead{CachedRead::State::kUnsupported, 0};
      case Cache::kOddPages:
        if ((offset / 4096) % 2 == 1) {
          return CachedRead{CachedRead::State::kWouldBlock, 0};
        }
        return whole(fd, buf, offset);
      case Cache::kHalf:
        break;
    }
    // Half, but never nothing: a cached read of 0 bytes means the end of
    // the file.
    const ssize_t n = ::pread(fd, buf.data(), (buf.size() + 1) / 2,
                              static_cast<off_t>(offset));
    if (n < 0) return Error::from_errno(errno);
    return CachedRead{CachedRead::State::kRead, static_cast<std::size_t>(n)};
  }
  std::optional<bool> cached(int /*fd*/, std::uint64_t offset,
                             std::uint64_t length) const override {
    if (cache_ != Cache::kOddPages) return std::nullopt;
    for (std::uint64_t p = offset / 4096; p <= (offset + length - 1) / 4096;
         ++p) {
      if (p % 2 == 1) return false;
    }
    return true;
  }
  void prefetch(int /*fd*/, std::uint64_t offset,
                std::uint64_t length) const override {
    log('p', offset, length);
  }

  std::vector<Event> events() const {
    const std::lock_guard lock(mu_);
    return events_;
  }

 private:
  static Result<CachedRead> whole(int fd, std::span<std::byte> buf,
                                  std::uint64_t offset) {
    const ssize_t n =
        ::pread(fd, buf.data(), buf.size(), static_cast<off_t>(offset));
    if (n < 0) return Error::from_errno(errno);
    return CachedRead{CachedRead::State::kRead, static_cast<std::size_t>(n)};
  }
  void log(char kind, std::uint64_t offset, std::uint64_t length) const {
    const std::lock_guard lock(mu_);
    events_.push_back(Event{kind, offset, length});
  }

  const Cache cache_;
  mutable std::mutex mu_;
  mutable std::vector<Event> events_;  // guarded by mu_
};

using Cache = ScriptedCacheReader::Cache;

class CacheBehaviour : public Table,
                       public ::testing::WithParamInterface<Cache> {};

TEST_P(CacheBehaviour, RowsAreRightWhateverTheCacheSays) {
  write_shards({64UL * 2000 - 32});
  const ScriptedCacheReader reader(GetParam());
  const Store s = store(2000, 64, 1, reader);
  std::vector<std::uint64_t> ids;
  for (std::uint64_t r = 0; r < 2000; r += 37) ids.push_back(r);
  ids.push_back(1999);  // its second half lies past the end of the file
  ids.push_back(0);
  ids.push_back(1);  // shares page 0 with row 0
  const auto got = fetch(s, ids);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, model(s.geometry(), ids));

  const auto events = reader.events();
  const auto prefetches =
      std::count_if(events.begin(), events.end(),
                    [](const auto& e) { return e.kind == 'p'; });
  if (GetParam() == Cache::kMiss) {
    EXPECT_GT(prefetches, 0);
  } else {
    EXPECT_EQ(prefetches, 0);
  }
}

// Device reads by plain pread, with a probing cached pass.
class ProbingDeviceReads final : public DeviceReads {
 public:
  explicit ProbingDeviceReads(const Store& store) : store_(store) {}
  Status read(std::span<const RowRef> refs, std::byte* out,
              ReadTally& tally) override {
    const ShardGeometry& g = store_.geometry();
    for (const RowRef& r : refs) {
      const RowLocation at = g.locate(r.rowid);
      std::byte* to = out + r.pos * g.width;
      const ssize_t n = ::pread(store_.fd(at.shard), to, g.width,
                                static_cast<off_t>(at.byte_offset));
      if (n < 0) return Error::from_errno(errno);
      std::memset(to + n, 0, g.width - static_cast<std::size_t>(n));
      ++tally.rows;
      ++tally.calls;
    }
    rows_ += refs.size();
    return ok();
  }
  bool direct() const override { return false; }
  bool probe_cache() const override { return true; }
  std::size_t rows() const { return rows_; }

 private:
  const Store& store_;
  std::size_t rows_ = 0;
};

TEST_F(Table, AProbingCachedPassReadsOnlyWhatThePageCacheHolds) {
  write_shards({64UL * 2000 - 32});
  const ScriptedCacheReader reader(Cache::kOddPages);
  const Store s = store(2000, 64, 1, reader);
  // Two rows per page over the first twenty pages: hits and misses
  // alternate, so the pass never gives up on the shard.
  std::vector<std::uint64_t> ids;
  for (std::uint64_t r = 0; r < 1280; r += 32) ids.push_back(r);
  ids.push_back(1999);  // past the end of the file from its middle on
  std::vector<std::byte> out(ids.size() * 64, std::byte{0xEE});
  ProbingDeviceReads device(s);
  ASSERT_TRUE(gather_rows(s, ids, out, nullptr, &device));
  EXPECT_EQ(out, model(s.geometry(), ids));
  // Every cached read was of an even page; the odd pages went to the
  // device without one.
  for (const auto& e : reader.events()) {
    ASSERT_EQ(e.kind, 'c');
    EXPECT_EQ((e.offset / 4096) % 2, 0U) << e.offset;
  }
  EXPECT_EQ(device.rows(), 21U);  // the odd pages' rows, and row 1999
}

INSTANTIATE_TEST_SUITE_P(Caches, CacheBehaviour,
                         ::testing::Values(Cache::kMiss, Cache::kHalf,
                                           Cache::kUnsupported));

TEST_F(Table, ColdReadsKeepSixteenRunsQueuedAheadInOffsetOrder) {
  write_shards({64UL * 4000});
  const ScriptedCacheReader reader(Cache::kMiss);
  const Store s = store(4000, 64, 1, reader);
  std::vector<std::uint64_t> ids;
  for (std::uint64_t r = 3999; r >= 64; r -= 64)
    ids.push_back(r);  // one row per page
  const auto got = fetch(s, ids);
  ASSERT_TRUE(got);
  ASSERT_EQ(*got, model(s.geometry(), ids));

  std::vector<std::uint64_t> prefetched;
  std::vector<std::uint64_t> read;
  for (const auto& e : reader.events()) {
    if (e.kind == 'p') {
      EXPECT_EQ(e.length, 64U);
      prefetched.push_back(e.offset);
    } else if (e.kind == 'r') {
      // Never more than sixteen runs queued beyond the one being read.
      const auto queued =
          std::count_if(prefetched.begin(), prefetched.end(),
                        [&](std::uint64_t p) { return p > e.offset; });
      EXPECT_LE(queued, 16) << e.offset;
      read.push_back(e.offset);
    }
  }
  // Every row but the first is prefetched once, in offset order, and each
  // is read after its prefetch.
  ASSERT_EQ(read.size(), ids.size());
  EXPECT_TRUE(std::is_sorted(read.begin(), read.end()));
  EXPECT_EQ(prefetched,
            std::vector<std::uint64_t>(read.begin() + 1, read.end()));
}

TEST_F(Table, FilesDroppedFromThePageCacheReadTheSame) {
  write_shards({256UL * 3000, 256UL * 3000, 3000UL * 100});
  for (std::size_t i = 0; i < 3; ++i) {
    const UniqueFd fd(::open(shard_path(i).c_str(), O_RDONLY | O_CLOEXEC));
    ::fdatasync(fd.get());
  }
  std::mt19937_64 rng(11);
  for (std::uint64_t width : {256U, 3000U}) {
    const Store s = store(width == 256 ? 3000 : 100, width, 2);
    for (int round = 0; round < 3; ++round) {
      for (std::uint64_t i = 0; i < 3; ++i) {
        ::posix_fadvise(s.fd(i), 0, 0, POSIX_FADV_DONTNEED);
      }
      std::vector<std::uint64_t> ids;
      ids.reserve(200);
      for (int k = 0; k < 200; ++k)
        ids.push_back(rng() % (3 * s.geometry().rows_per_shard));
      const auto got = fetch(s, ids);
      ASSERT_TRUE(got);
      ASSERT_EQ(*got, model(s.geometry(), ids));
    }
  }
}

}  // namespace
}  // namespace larkspur::io
