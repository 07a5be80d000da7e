// Opening files and reading them, with one EINTR policy: retry.
#include "larkspur-core/src/base/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>

#include "larkspur-core/src/base/str_cat.h"
#include "larkspur-core/src/base/texts.h"

namespace larkspur {

namespace {

// The error for a file of mode `mode` that `kinds` does not accept, or 0
// when it is accepted.
int refusal(mode_t mode, FileKinds kinds) {
  if (S_ISREG(mode)) return 0;
  if (S_ISBLK(mode) && kinds == FileKinds::kRegularOrBlock) return 0;
  if (S_ISDIR(mode)) return EISDIR;
  // What a positional read of a stream would report.
  if (S_ISFIFO(mode) || S_ISSOCK(mode)) return ESPIPE;
  return EINVAL;
}

Result<std::uint64_t> size_of(int fd, const struct stat& st) {
  if (!S_ISBLK(st.st_mode)) {
    return static_cast<std::uint64_t>(std::max<off_t>(st.st_size, 0));
  }
  // A block device's st_size is 0; its end is its capacity. Only
  // positional reads follow, but leave the position where it was.
  const off_t end = ::lseek(fd, 0, SEEK_END);
  if (end < 0 || ::lseek(fd, 0, SEEK_SET) < 0) return Error::from_errno(errno);
  return static_cast<std::uint64_t>(end);
}

}  // namespace

Result<OpenFile> open_file(std::string_view path, FileKinds kinds) {
  if (path.find('\0') != std::string_view::npos) {
    return Error::io("file name contained an unexpected NUL byte");
  }
  const std::string name(path);
  // Without access-time updates where the kernel allows it (the file's
  // owner, or a privileged process): a read then skips the atime check,
  // a few per cent of a cached small read. Otherwise an ordinary open.
  int raw = -1;
  for (const int extra : {O_NOATIME, 0}) {
    do {
      raw = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | extra);
    } while (raw < 0 && errno == EINTR);
    if (raw >= 0 || errno != EPERM) break;
  }
  if (raw < 0) return Error::from_errno(errno);
  OpenFile file{UniqueFd(raw), 0};

  struct stat st {};
  if (::fstat(file.fd.get(), &st) != 0) return Error::from_errno(errno);
  if (const int err = refusal(st.st_mode, kinds); err != 0) {
    return Error::from_errno(err);
  }
  // Regular files and block devices never wait on a writer; reads of them
  // should block like any other read.
  const int flags = ::fcntl(file.fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(file.fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return Error::from_errno(errno);
  }
  Result<std::uint64_t> size = size_of(file.fd.get(), st);
  if (!size) return std::move(size).error();
  file.size = *size;
  return file;
}

Result<std::size_t> read_at(int fd, std::span<std::byte> buf,
                            std::uint64_t offset) {
  while (true) {
    const ssize_t n =
        ::pread(fd, buf.data(), buf.size(), static_cast<off_t>(offset));
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return Error::from_errno(errno);
  }
}

std::optional<bool> page_cache_holds(int fd, std::uint64_t offset,
                                     std::uint64_t length) {
  // The system call's own structures: a range, then page counts.
  struct Range {
    std::uint64_t offset;
    std::uint64_t length;
  };
  struct PageCounts {
    std::uint64_t cached, dirty, writeback, evicted, recently_evicted;
  };
  constexpr long kCachestat = 451;  // the same number on every architecture
  static std::atomic<bool> missing{false};
  if (length == 0 || missing.load(std::memory_order_relaxed)) {
    return std::nullopt;
  }
  const std::uint64_t first = offset & ~std::uint64_t{4095};
  const std::uint64_t end = (offset + length + 4095) & ~std::uint64_t{4095};
  Range range{first, end - first};
  PageCounts counts{};
  if (::syscall(kCachestat, fd, &range, &counts, 0U) != 0) {
    if (errno == ENOSYS) missing.store(true, std::memory_order_relaxed);
    return std::nullopt;
  }
  // Pages past the end of the file are never cached: a row there counts as
  // not held, and is read as it would be from the device.
  return counts.cached >= range.length / 4096;
}

Result<CachedRead> read_cached_at(int fd, std::span<std::byte> buf,
                                  std::uint64_t offset) {
  iovec iov{buf.data(), buf.size()};
  while (true) {
    const ssize_t n =
        ::preadv2(fd, &iov, 1, static_cast<off_t>(offset), RWF_NOWAIT);
    if (n >= 0) {
      return CachedRead{CachedRead::State::kRead, static_cast<std::size_t>(n)};
    }
    switch (errno) {
      case EINTR:
        continue;
      case EAGAIN:
        return CachedRead{CachedRead::State::kWouldBlock, 0};
      case EOPNOTSUPP:
      case ENOSYS:
        return CachedRead{CachedRead::State::kUnsupported, 0};
      default:
        return Error::from_errno(errno);
    }
  }
}

Status read_exact_at(int fd, std::span<std::byte> buf, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < buf.size()) {
    // Each retry asks for everything still missing, at the matching offset.
    Result<std::size_t> n = read_at(fd, buf.subspan(done), offset + done);
    if (!n) return std::move(n).error();
    if (*n == 0) return Error::io(std::string(texts::kEofInsideBuffer));
    done += *n;
  }
  return ok();
}

Result<std::size_t> read_some(int fd, std::span<std::byte> buf) {
  while (true) {
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return Error::from_errno(errno);
  }
}

Result<std::string> read_all(int fd, std::size_t limit) {
  std::string content;
  std::array<std::byte, 4096> buf{};
  while (true) {
    Result<std::size_t> n = read_some(fd, buf);
    if (!n) return std::move(n).error();
    if (*n == 0) return content;
    if (*n > limit - content.size()) {
      return Error::io(str_cat("file is larger than ", limit, " bytes"));
    }
    content.append(reinterpret_cast<const char*>(buf.data()), *n);
  }
}

Result<std::string> read_file(std::string_view path, std::size_t limit) {
  Result<OpenFile> file = open_file(path, FileKinds::kRegular);
  if (!file) return std::move(file).error();
  return read_all(file->fd.get(), limit);
}

}  // namespace larkspur
