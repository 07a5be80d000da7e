#include "larkspur-io/src/uring/uring_page_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <ostream>
#include <random>
#include <thread>
#include <vector>

#include "larkspur-io/src/uring/ring_testing.h"

namespace larkspur::io {
namespace {

using testing::TempFile;

constexpr std::size_t kPage = 4096;
constexpr std::size_t kFilePages = 1024;

// The pages of one call and where they land.
struct Call {
  std::vector<std::int32_t> fds;
  std::vector<std::uint64_t> offsets;
  std::vector<std::byte> storage;
  std::vector<std::span<std::byte>> buffers;
  std::vector<std::size_t> lengths;
  PageTargets targets;

  Call(std::vector<std::int32_t> f, std::vector<std::uint64_t> o)
      : fds(std::move(f)),
        offsets(std::move(o)),
        storage(fds.size() * kPage),
        buffers(fds.size()),
        lengths(fds.size(), 0) {
    for (std::size_t i = 0; i < fds.size(); ++i) {
      buffers[i] = {&storage[i * kPage], kPage};
    }
    targets = PageTargets{buffers, lengths};
  }
  // `targets` points into the vectors: never copied or moved.
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  // True when every page holds what pread gives at its offset.
  ::testing::AssertionResult matches_pread() const {
    std::vector<std::byte> expected(kPage);
    for (std::size_t i = 0; i < fds.size(); ++i) {
      const ssize_t n = ::pread(fds[i], expected.data(), kPage,
                                static_cast<off_t>(offsets[i]));
      if (n <= 0 || lengths[i] != static_cast<std::size_t>(n) ||
          std::memcmp(expected.data(), buffers[i].data(), lengths[i]) != 0) {
        return ::testing::AssertionFailure() << "page " << i << " differs";
      }
    }
    return ::testing::AssertionSuccess();
  }
};

Call random_pages(int fd, std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint64_t> offsets(n);
  for (auto& o : offsets) o = (rng() % kFilePages) * kPage;
  return Call(std::vector<std::int32_t>(n, fd), std::move(offsets));
}

// Nothing queued and nothing to take: a later call starts clean.
::testing::AssertionResult ring_is_clean(IoUring& ring) {
  if (ring.unsubmitted() != 0) {
    return ::testing::AssertionFailure() << ring.unsubmitted() << " queued";
  }
  if (ring.next_completion()) {
    return ::testing::AssertionFailure() << "a completion was left behind";
  }
  return ::testing::AssertionSuccess();
}

class UringPages : public ::testing::Test {
 protected:
  void SetUp() override {
    Result<IoUring> made = IoUring::create(kThreadRingEntries);
    if (!made) GTEST_SKIP() << made.error().text();
    ring_.emplace(std::move(*made));
  }
  IoUring& ring() { return *ring_; }

  TempFile file_{testing::pattern_bytes(kFilePages * kPage)};
  std::optional<IoUring> ring_;
};

struct FailureCase {
  const char* name;
  std::size_t pages;
  std::size_t failing;  // the index of the one bad page
  bool past_end;        // EOF instead of a bad descriptor
  const char* message;

  friend void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }
};

class UringFailedBatch : public UringPages,
                         public ::testing::WithParamInterface<FailureCase> {};

// The failing call reports the bad page's error, leaves the ring clean, and
// the same ring then serves a good call correctly.
TEST_P(UringFailedBatch, ReportsAndLeavesTheRingReusable) {
  const FailureCase& c = GetParam();
  Call bad = random_pages(file_.fd(), c.pages, 3);
  if (c.past_end) {
    bad.offsets[c.failing] = kFilePages * kPage;
  } else {
    bad.fds[c.failing] = -1;
  }
  const Status failed =
      read_pages_on(ring(), bad.fds, bad.offsets, bad.targets);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().text(), c.message);
  EXPECT_FALSE(bad.targets.pinned);
  EXPECT_TRUE(ring_is_clean(ring()));

  Call good = random_pages(file_.fd(), 600, 11);
  ASSERT_TRUE(read_pages_on(ring(), good.fds, good.offsets, good.targets));
  EXPECT_TRUE(good.matches_pread());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UringFailedBatch,
    ::testing::Values(
        FailureCase{"FirstPageBadFd", 256, 0, false,
                    "Bad file descriptor (os error 9)"},
        FailureCase{"LastPageOfFirstBatch", 300, 255, false,
                    "Bad file descriptor (os error 9)"},
        FailureCase{"SecondBatchEof", 600, 400, true, "EOF while reading page"},
        FailureCase{"OnlyPageEof", 1, 0, true, "EOF while reading page"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(UringPagesSmallRing, PushFailureWithdrawsWhatWasQueued) {
  TempFile file(testing::pattern_bytes(kFilePages * kPage));
  Result<IoUring> made = IoUring::create(8);
  if (!made) GTEST_SKIP() << made.error().text();
  IoUring& ring = *made;
  Call too_many = random_pages(file.fd(), ring.sq_entries() + 5, 1);
  const Status failed =
      read_pages_on(ring, too_many.fds, too_many.offsets, too_many.targets);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().text(), "SQ push: submission queue is full");
  EXPECT_TRUE(ring_is_clean(ring));

  Call fits = random_pages(file.fd(), ring.sq_entries(), 2);
  ASSERT_TRUE(read_pages_on(ring, fits.fds, fits.offsets, fits.targets));
  EXPECT_TRUE(fits.matches_pread());
}

void ignore_signal(int /*sig*/) {}

// A pipe read stays in flight until data arrives (read_pages_on is given
// the pipe directly; read_pages_uring would refuse it). Signals interrupt
// the batch's wait again and again for 300 ms; each interrupted wait is
// resumed, and the call returns only with every page read, the ring clean.
TEST_F(UringPages, InterruptedWaitsAreResumedUntilEveryReadCompletes) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const UniqueFd read_end(pipe_fds[0]);
  const UniqueFd write_end(pipe_fds[1]);

  struct sigaction action {};
  action.sa_handler = &ignore_signal;  // no SA_RESTART: waits return EINTR
  struct sigaction previous {};
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

  const pthread_t reader = ::pthread_self();
  std::atomic<bool> done{false};
  std::thread nagger([&] {
    const auto start = std::chrono::steady_clock::now();
    bool written = false;
    while (!done.load()) {
      ::pthread_kill(reader, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      if (!written && std::chrono::steady_clock::now() - start >
                          std::chrono::milliseconds(300)) {
        std::vector<char> data(kPage, 'p');
        written = ::write(write_end.get(), data.data(), data.size()) ==
                  static_cast<ssize_t>(kPage);
      }
    }
  });

  Call call({file_.fd(), read_end.get()}, {0, 0});
  const Status status =
      read_pages_on(ring(), call.fds, call.offsets, call.targets);
  done.store(true);
  nagger.join();
  ::sigaction(SIGUSR1, &previous, nullptr);

  ASSERT_TRUE(status) << status.error().text();
  EXPECT_FALSE(call.targets.pinned);
  EXPECT_TRUE(ring_is_clean(ring()));
  ASSERT_EQ(call.lengths[1], kPage);
  EXPECT_EQ(std::to_integer<char>(call.buffers[1][kPage - 1]), 'p');
  std::vector<std::byte> first(kPage);
  ASSERT_EQ(::pread(file_.fd(), first.data(), kPage, 0),
            static_cast<ssize_t>(kPage));
  ASSERT_EQ(call.lengths[0], kPage);
  EXPECT_EQ(std::memcmp(first.data(), call.buffers[0].data(), kPage), 0);
}

}  // namespace
}  // namespace larkspur::io
