// The fetch planner across shards, jobs and concurrent callers; the thread
// sanitizer build runs these to check the jobs' shared state.
#include "larkspur-io/src/batch/fetch_plan.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace larkspur::io {
namespace {

constexpr std::uint64_t kShards = 5;
constexpr std::uint64_t kRowsPerShard = 40;
// Rows actually present in each shard file: one short, one empty.
constexpr std::uint64_t kRowsPresent[kShards] = {40, 40, 7, 40, 0};

std::byte byte_at(std::uint64_t shard, std::uint64_t offset) {
  return static_cast<std::byte>((shard * 131 + offset * 7 + offset / 251) &
                                0xFF);
}

class FetchRows : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/larkspur-fetch-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  Store make_store(std::uint64_t width, std::uint64_t threads) {
    for (std::uint64_t s = 0; s < kShards; ++s) {
      std::string bytes(kRowsPresent[s] * width, '\0');
      for (std::uint64_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(byte_at(s, i));
      }
      std::ofstream(dir_ + "/shard_" + std::to_string(s) + ".bin",
                    std::ios::binary)
          << bytes;
    }
    Result<Store> store = Store::open(
        dir_, ShardGeometry{kShards, kRowsPerShard, width}, threads);
    EXPECT_TRUE(store) << store.error().text();
    return std::move(*store);
  }

  // What a fetch of `rowids` must return: each row's file bytes, zeros
  // past the end of its shard file.
  static std::vector<std::byte> expected(
      const std::vector<std::uint64_t>& rowids, std::uint64_t width) {
    std::vector<std::byte> out;
    for (std::uint64_t r : rowids) {
      const std::uint64_t shard = r / kRowsPerShard;
      const std::uint64_t row = r % kRowsPerShard;
      for (std::uint64_t b = 0; b < width; ++b) {
        out.push_back(row < kRowsPresent[shard]
                          ? byte_at(shard, row * width + b)
                          : std::byte{0});
      }
    }
    return out;
  }

  static std::vector<std::uint64_t> request(std::mt19937_64& rng,
                                            std::size_t n) {
    std::uniform_int_distribution<std::uint64_t> pick(
        0, kShards * kRowsPerShard - 1);
    std::vector<std::uint64_t> ids(n);
    for (auto& id : ids) id = pick(rng);
    return ids;
  }

  std::string dir_;
};

struct Layout {
  std::uint64_t width;
  std::uint64_t threads;
};

class FetchLayouts : public FetchRows,
                     public ::testing::WithParamInterface<Layout> {};

// Rows sharing a page, rows crossing a page end, rows wider than a page,
// repeats, short and empty shards, one job or one per shard.
TEST_P(FetchLayouts, RequestOrderWithZerosPastTheEnd) {
  const auto [width, threads] = GetParam();
  const Store store = make_store(width, threads);
  std::mt19937_64 rng(width * 100 + threads);
  for (const std::size_t n :
       {std::size_t{1}, std::size_t{2}, std::size_t{17}, std::size_t{300}}) {
    std::vector<std::uint64_t> ids = request(rng, n);
    ids.push_back(ids.front());
    std::vector<std::byte> out(ids.size() * width, std::byte{0xEE});
    ASSERT_TRUE(fetch_rows(store, ids, out));
    EXPECT_EQ(out, expected(ids, width)) << "n=" << n;
  }
}

INSTANTIATE_TEST_SUITE_P(Widths, FetchLayouts,
                         ::testing::Values(Layout{24, 1}, Layout{24, 3},
                                           Layout{3000, 32}, Layout{5000, 2},
                                           Layout{4096, 0}));

// Several threads fetching from one store at once each get their own rows.
TEST_F(FetchRows, ConcurrentCallersOnOneStore) {
  const Store store = make_store(100, 4);
  std::atomic<int> mismatches{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 8; ++t) {
    callers.emplace_back([&, t] {
      std::mt19937_64 rng(static_cast<std::uint64_t>(t));
      for (int call = 0; call < 40; ++call) {
        const std::vector<std::uint64_t> ids =
            request(rng, static_cast<std::size_t>(1 + call * 3));
        std::vector<std::byte> out(ids.size() * 100);
        if (!fetch_rows(store, ids, out) || out != expected(ids, 100)) {
          ++mismatches;
        }
      }
    });
  }
  for (std::thread& t : callers) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

// Reads pread, except on one descriptor, where every read fails with EIO.
class FailingReader final : public PositionalReader {
 public:
  explicit FailingReader(int bad_fd) : bad_fd_(bad_fd) {}
  Result<std::size_t> read_at(int fd, std::span<std::byte> buf,
                              std::uint64_t offset) const override {
    reads_.fetch_add(1);
    if (fd == bad_fd_) return Error::from_errno(EIO);
    const ssize_t n =
        ::pread(fd, buf.data(), buf.size(), static_cast<off_t>(offset));
    if (n < 0) return Error::from_errno(errno);
    return static_cast<std::size_t>(n);
  }
  int reads() const { return reads_.load(); }

 private:
  int bad_fd_;
  mutable std::atomic<int> reads_{0};
};

// One failing shard fails the whole call with its error; the store works
// for requests that avoid it.
TEST_F(FetchRows, ReadErrorInOneJobFailsTheCall) {
  const Store files = make_store(64, 32);
  std::vector<UniqueFd> fds;
  for (std::uint64_t s = 0; s < kShards; ++s)
    fds.emplace_back(::dup(files.fd(s)));
  const FailingReader reader(fds[3].get());
  const Store store(std::move(fds), ShardGeometry{kShards, kRowsPerShard, 64},
                    32, reader);
  const std::vector<std::uint64_t> ids = {0, 41, 3 * kRowsPerShard + 1, 81, 5};
  std::vector<std::byte> out(ids.size() * 64);
  const Status failed = fetch_rows(store, ids, out);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().text(), "Input/output error (os error 5)");

  const std::vector<std::uint64_t> good = {0, 41, 81, 5};
  std::vector<std::byte> again(good.size() * 64);
  ASSERT_TRUE(fetch_rows(store, good, again));
  EXPECT_EQ(again, expected(good, 64));
}

}  // namespace
}  // namespace larkspur::io
