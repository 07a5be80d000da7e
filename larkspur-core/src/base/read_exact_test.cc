#include "larkspur-core/src/base/read_exact.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <string>

#include "larkspur-core/src/base/unique_fd.h"

namespace larkspur {
namespace {

class TempFile {
 public:
  explicit TempFile(const std::string& contents) {
    char name[] = "/tmp/larkspur_read_exact_XXXXXX";
    fd_.reset(::mkstemp(name));
    path_ = name;
    EXPECT_EQ(::write(fd_.get(), contents.data(), contents.size()),
              static_cast<ssize_t>(contents.size()));
  }
  ~TempFile() { ::unlink(path_.c_str()); }
  int fd() const { return fd_.get(); }

 private:
  UniqueFd fd_;
  std::string path_;
};

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
  EXPECT_EQ(*n, 2u);
  n = read_at(f.fd(), buf, 3);
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 0u);
}

TEST(UniqueFd, ClosesOnceAndReleases) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  {
    UniqueFd a(fds[0]);
    UniqueFd b(std::move(a));
    EXPECT_FALSE(a.valid());
    const int raw = UniqueFd(fds[1]).release();
    EXPECT_EQ(raw, fds[1]);
    ::close(raw);
  }
  EXPECT_EQ(::fcntl(fds[0], F_GETFD), -1);
}

}  // namespace
}  // namespace larkspur
