#include "larkspur-io/src/uring/io_uring.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <vector>

#include "larkspur-io/src/uring/ring_testing.h"

namespace larkspur::io {
namespace {

using testing::count_ring_fds;
using testing::count_ring_mappings;
using testing::pattern;
using testing::pattern_bytes;
using testing::TempFile;

constexpr std::size_t kPage = 4096;

// A ring, or a skipped test where the kernel refuses one. A macro: it
// declares `var` in the test's scope and returns from the test.
// NOLINTBEGIN(cppcoreguidelines-macro-usage,bugprone-macro-parentheses)
#define LARKSPUR_RING_OR_SKIP(var, entries)                   \
  Result<IoUring> var##_made = IoUring::create(entries);      \
  if (!var##_made) GTEST_SKIP() << var##_made.error().text(); \
  IoUring& var = *var##_made
// NOLINTEND(cppcoreguidelines-macro-usage,bugprone-macro-parentheses)

ReadRequest page_request(int fd, std::uint64_t page, std::byte* buffer,
                         std::uint64_t tag) {
  return ReadRequest{fd, page * kPage, buffer,
                     static_cast<std::uint32_t>(kPage), tag};
}

bool page_matches(const std::byte* buffer, std::uint64_t page) {
  for (std::uint64_t i = 0; i < kPage; ++i) {
    if (buffer[i] != pattern(page * kPage + i)) return false;
  }
  return true;
}

TEST(IoUring, CreationAddsItsMappingsAndDestructionRemovesThem) {
  const int fds_before = count_ring_fds();
  const int maps_before = count_ring_mappings();
  {
    LARKSPUR_RING_OR_SKIP(ring, 256);
    EXPECT_EQ(count_ring_fds(), fds_before + 1);
    EXPECT_EQ(count_ring_mappings() - maps_before,
              static_cast<int>(ring.mapping_count()));
  }
  EXPECT_EQ(count_ring_fds(), fds_before);
  EXPECT_EQ(count_ring_mappings(), maps_before);
}

class IoUringRefused : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(IoUringRefused, SetupFailureLeavesNothingBehind) {
  if (!IoUring::create(8)) GTEST_SKIP() << "io_uring unavailable";
  const int fds_before = count_ring_fds();
  const int maps_before = count_ring_mappings();
  Result<IoUring> ring = IoUring::create(GetParam());
  ASSERT_FALSE(ring);
  EXPECT_EQ(ring.error().text(), "Invalid argument (os error 22)");
  EXPECT_EQ(count_ring_fds(), fds_before);
  EXPECT_EQ(count_ring_mappings(), maps_before);
}

INSTANTIATE_TEST_SUITE_P(BadSizes, IoUringRefused, ::testing::Values(0U));

// Runs in a forked child: caps the address space `headroom` bytes above what
// is mapped now, so that a ring mapping fails after io_uring_setup
// succeeded. Returns 0 when creation failed with ENOMEM and left neither a
// descriptor nor a mapping behind. Uses only fixed buffers: the cap may
// refuse the heap further memory.
int create_under_address_cap(std::size_t headroom) {
  static std::array<char, 1 << 20> text;
  const auto read_file = [](const char* path) -> std::size_t {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    std::size_t len = 0;
    for (ssize_t n = 1; n > 0 && len < text.size() - 1;
         len += static_cast<std::size_t>(n)) {
      n = ::read(fd, text.data() + len, text.size() - 1 - len);
      if (n < 0) n = 0;
    }
    ::close(fd);
    text[len] = '\0';
    return len;
  };
  // Rings the process already had (this thread's page-reading ring made by
  // an earlier test in the same process) are inherited: only new ones count.
  const auto ring_mappings = [&read_file] {
    read_file("/proc/self/maps");
    int n = 0;
    for (const char* at = std::strstr(text.data(), testing::kRingInode);
         at != nullptr; at = std::strstr(at + 1, testing::kRingInode)) {
      ++n;
    }
    return n;
  };
  const int rings_before = ring_mappings();
  read_file("/proc/self/status");
  const char* vm = std::strstr(text.data(), "VmSize:");
  if (vm == nullptr) return 10;
  const unsigned long long vm_kib = std::strtoull(vm + 7, nullptr, 10);
  const int next_fd = ::dup(0);
  ::close(next_fd);

  const rlimit cap{vm_kib * 1024 + headroom, RLIM_INFINITY};
  if (::setrlimit(RLIMIT_AS, &cap) != 0) return 11;
  Result<IoUring> ring = IoUring::create(256);
  if (ring) return 12;
  if (ring.error().sys_errno() != ENOMEM) return 13;
  if (::fcntl(next_fd, F_GETFD) != -1) return 14;  // descriptor left open
  if (ring_mappings() != rings_before) return 15;
  return 0;
}

class IoUringMappingFailure : public ::testing::TestWithParam<std::size_t> {};

TEST_P(IoUringMappingFailure, LeavesNoDescriptorOrMapping) {
  if (!IoUring::create(8)) GTEST_SKIP() << "io_uring unavailable";
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(std::_Exit(create_under_address_cap(GetParam())),
              ::testing::ExitedWithCode(0), "");
}

// 0: the entry array cannot be mapped; 16 KiB: the entries (256 x 64 bytes)
// fit but the ring itself does not.
INSTANTIATE_TEST_SUITE_P(Steps, IoUringMappingFailure,
                         ::testing::Values(std::size_t{0},
                                           std::size_t{256} * 64));

TEST(IoUring, FullQueueRefusesPushAndKeepsEveryEntry) {
  TempFile file(pattern_bytes(64 * kPage));
  LARKSPUR_RING_OR_SKIP(ring, 8);
  const std::uint32_t n = ring.sq_entries();
  std::vector<std::byte> buffers((n + 1) * kPage);
  for (std::uint32_t i = 0; i < n; ++i) {
    ASSERT_TRUE(ring.push_read(
        page_request(file.fd(), i % 64, &buffers[i * kPage], i)));
  }
  const Status refused =
      ring.push_read(page_request(file.fd(), 0, &buffers[n * kPage], n));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().text(), "submission queue is full");
  EXPECT_EQ(ring.unsubmitted(), n);

  // The queued entries are intact: each one reads its own page, and the
  // refused request never shows up.
  ASSERT_TRUE(ring.submit_and_wait(n));
  std::set<std::uint64_t> tags;
  while (std::optional<Completion> done = ring.next_completion()) {
    ASSERT_LT(done->tag, n);
    EXPECT_EQ(done->res, static_cast<std::int32_t>(kPage));
    EXPECT_TRUE(page_matches(&buffers[done->tag * kPage], done->tag % 64));
    tags.insert(done->tag);
  }
  EXPECT_EQ(tags.size(), n);
}

TEST(IoUring, SubmitAndWaitMakesEveryCompletionAvailable) {
  TempFile file(pattern_bytes(300 * kPage));
  LARKSPUR_RING_OR_SKIP(ring, 256);
  constexpr std::uint32_t kCount = 200;
  std::vector<std::byte> buffers(kCount * kPage);
  for (std::uint32_t i = 0; i < kCount; ++i) {
    // Pages in a scattered order so that tag and page differ.
    const std::uint64_t page = (i * 37) % 300;
    ASSERT_TRUE(
        ring.push_read(page_request(file.fd(), page, &buffers[i * kPage], i)));
  }
  Result<std::uint32_t> submitted = ring.submit_and_wait(kCount);
  ASSERT_TRUE(submitted) << submitted.error().text();
  EXPECT_EQ(*submitted, kCount);
  EXPECT_EQ(ring.unsubmitted(), 0U);

  std::vector<bool> seen(kCount, false);
  for (std::uint32_t i = 0; i < kCount; ++i) {
    const std::optional<Completion> done = ring.next_completion();
    ASSERT_TRUE(done) << "completion " << i << " missing";
    ASSERT_LT(done->tag, kCount);
    EXPECT_FALSE(seen[done->tag]);
    seen[done->tag] = true;
    EXPECT_EQ(done->res, static_cast<std::int32_t>(kPage));
    EXPECT_TRUE(
        page_matches(&buffers[done->tag * kPage], (done->tag * 37) % 300));
  }
  EXPECT_FALSE(ring.next_completion());
}

// Many rounds through a small ring wrap its head and tail words around the
// ring several times; every slot must still carry the request pushed last.
TEST(IoUring, SlotsAreReusedAcrossWrapAround) {
  TempFile file(pattern_bytes(64 * kPage));
  LARKSPUR_RING_OR_SKIP(ring, 4);
  const std::uint32_t n = ring.sq_entries();
  std::vector<std::byte> buffers(n * kPage);
  for (std::uint32_t round = 0; round < 50; ++round) {
    for (std::uint32_t i = 0; i < n; ++i) {
      const std::uint64_t page = (round * n + i) % 64;
      ASSERT_TRUE(ring.push_read(
          page_request(file.fd(), page, &buffers[i * kPage], page * 100 + i)));
    }
    ASSERT_TRUE(ring.submit_and_wait(n));
    for (std::uint32_t i = 0; i < n; ++i) {
      const std::optional<Completion> done = ring.next_completion();
      ASSERT_TRUE(done);
      const std::uint64_t page = done->tag / 100;
      const std::uint64_t slot = done->tag % 100;
      ASSERT_EQ(done->res, static_cast<std::int32_t>(kPage));
      ASSERT_TRUE(page_matches(&buffers[slot * kPage], page))
          << "round " << round;
    }
    ASSERT_FALSE(ring.next_completion());
  }
}

}  // namespace
}  // namespace larkspur::io
