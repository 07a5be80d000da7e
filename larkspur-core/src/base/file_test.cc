#include "larkspur-core/src/base/file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <optional>
#include <string>

#include "larkspur-core/src/base/temp_dir_testing.h"
#include "larkspur-core/src/base/unique_fd.h"

namespace larkspur {
namespace {

using test::TempDir;
using test::TempFile;

std::string as_string(std::span<const std::byte> b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

TEST(ReadExactAt, FillsTheWholeBufferAtAnOffset) {
  TempFile f("0123456789");
  std::array<std::byte, 4> buf{};
  ASSERT_TRUE(read_exact_at(f.fd(), buf, 3));
  EXPECT_EQ(as_string(buf), "3456");
}

TEST(ReadExactAt, EndOfFileInsideTheBufferFails) {
  TempFile f("0123456789");
  std::array<std::byte, 4> buf{};
  Status s = read_exact_at(f.fd(), buf, 8);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().text(), "read_exact_at: eof inside buffer");
}

TEST(ReadExactAt, EmptyBufferMakesNoCall) {
  // A bad descriptor would fail any call that is made.
  EXPECT_TRUE(read_exact_at(-1, {}, 0));
}

TEST(ReadExactAt, SystemErrorsFailAtOnce) {
  std::array<std::byte, 4> buf{};
  Status s = read_exact_at(-1, buf, 0);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().text(), "Bad file descriptor (os error 9)");
}

TEST(ReadAt, ReturnsShortCountAndZeroAtEnd) {
  TempFile f("abc");
  std::array<std::byte, 8> buf{};
  Result<std::size_t> n = read_at(f.fd(), buf, 1);
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 2U);
  n = read_at(f.fd(), buf, 3);
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 0U);
}

int open_errno(const std::string& path, FileKinds kinds) {
  Result<OpenFile> f = open_file(path, kinds);
  return f ? 0 : f.error().sys_errno();
}

TEST(PageCacheHolds, WhatWasWrittenUntilItIsDropped) {
  TempDir dir;
  const std::string path = (dir.path() / "f").string();
  {
    const UniqueFd w(::open(path.c_str(), O_WRONLY | O_CREAT, 0600));
    const std::string bytes(3UL * 4096 + 100, 'x');
    ASSERT_EQ(::write(w.get(), bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
    ASSERT_EQ(::fdatasync(w.get()), 0);
  }
  const UniqueFd fd(::open(path.c_str(), O_RDONLY));
  const std::optional<bool> held = page_cache_holds(fd.get(), 4000, 200);
  if (!held) GTEST_SKIP() << "no cachestat(2) here";
  EXPECT_TRUE(*held);  // two pages, both just written
  EXPECT_TRUE(page_cache_holds(fd.get(), 3UL * 4096, 100).value());
  EXPECT_FALSE(page_cache_holds(fd.get(), 3UL * 4096, 5000).value());  // EOF
  ASSERT_EQ(::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED), 0);
  EXPECT_FALSE(page_cache_holds(fd.get(), 4000, 200).value());
  std::array<std::byte, 4UL * 4096> all{};
  ASSERT_TRUE(read_at(fd.get(), all, 0));
  EXPECT_TRUE(page_cache_holds(fd.get(), 4000, 200).value());
  EXPECT_FALSE(page_cache_holds(-1, 0, 1).has_value());
}

TEST(OpenFile, RegularFileWithItsSize) {
  TempFile f("0123456789");
  Result<OpenFile> opened =
      open_file("/proc/self/fd/" + std::to_string(f.fd()), FileKinds::kRegular);
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->size, 10U);
  // Opened without O_NONBLOCK left on, and close-on-exec.
  EXPECT_EQ(::fcntl(opened->fd.get(), F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(::fcntl(opened->fd.get(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST(OpenFile, RefusesKindsThatAreNotFiles) {
  TempDir dir;
  // A FIFO without a writer would block a plain open for good.
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  UniqueFd sock(::socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sock_path = dir / "sock";
  sock_path.copy(&addr.sun_path[0], sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr),
            0);
  for (FileKinds kinds : {FileKinds::kRegular, FileKinds::kRegularOrBlock}) {
    EXPECT_EQ(open_errno(dir / "fifo", kinds), ESPIPE);
    EXPECT_EQ(open_errno(sock_path, kinds), ENXIO);  // open(2) of a socket
    EXPECT_EQ(open_errno(dir / "", kinds), EISDIR);
    EXPECT_EQ(open_errno("/dev/zero", kinds), EINVAL);
    EXPECT_EQ(open_errno(dir / "missing", kinds), ENOENT);
  }
  Result<OpenFile> nul = open_file(std::string("a\0b", 3), FileKinds::kRegular);
  ASSERT_FALSE(nul);
  EXPECT_EQ(nul.error().text(), "file name contained an unexpected NUL byte");
}

TEST(OpenFile, BlockDevicesOnlyWhenAsked) {
  const char* device = nullptr;
  for (const char* candidate :
       {"/dev/vda", "/dev/sda", "/dev/nvme0n1", "/dev/loop0"}) {
    struct stat st {};
    if (::stat(candidate, &st) == 0 && S_ISBLK(st.st_mode) &&
        ::access(candidate, R_OK) == 0) {
      device = candidate;
      break;
    }
  }
  if (device == nullptr) GTEST_SKIP() << "no readable block device";
  Result<OpenFile> opened = open_file(device, FileKinds::kRegularOrBlock);
  if (!opened) {
    GTEST_SKIP() << device << ": " << opened.error().text();  // a sandbox
  }
  EXPECT_EQ(open_errno(device, FileKinds::kRegular), EINVAL);
  ASSERT_TRUE(opened) << opened.error().text();
  EXPECT_EQ(::lseek(opened->fd.get(), 0, SEEK_CUR), 0);
  EXPECT_EQ(static_cast<off_t>(opened->size),
            ::lseek(opened->fd.get(), 0, SEEK_END));
}

TEST(ReadAll, ReadsUpToTheBoundAndNoFurther) {
  TempFile f("0123456789");
  Result<std::string> all = read_all(f.fd(), 10);  // the position is at the end
  ASSERT_TRUE(all);
  EXPECT_EQ(*all, "");
  ASSERT_EQ(::lseek(f.fd(), 0, SEEK_SET), 0);
  all = read_all(f.fd(), 10);
  ASSERT_TRUE(all);
  EXPECT_EQ(*all, "0123456789");
  ASSERT_EQ(::lseek(f.fd(), 0, SEEK_SET), 0);
  all = read_all(f.fd(), 9);
  ASSERT_FALSE(all);
  EXPECT_EQ(all.error().text(), "file is larger than 9 bytes");
  // A file without end stops at the bound.
  UniqueFd zero(::open("/dev/zero", O_RDONLY | O_CLOEXEC));
  all = read_all(zero.get(), 1 << 20);
  ASSERT_FALSE(all);
  EXPECT_EQ(all.error().text(), "file is larger than 1048576 bytes");
}

TEST(UniqueFd, ClosesOnceAndReleases) {
  std::array<int, 2> fds{};
  ASSERT_EQ(::pipe(fds.data()), 0);
  {
    UniqueFd a(fds[0]);
    UniqueFd b(std::move(a));
    // The moved-from state is the behaviour under test.
    EXPECT_FALSE(a.valid());  // NOLINT(bugprone-use-after-move)
    const int raw = UniqueFd(fds[1]).release();
    EXPECT_EQ(raw, fds[1]);
    ::close(raw);
  }
  EXPECT_EQ(::fcntl(fds[0], F_GETFD), -1);
}

}  // namespace
}  // namespace larkspur
