// The per-page read rule: one pread per page, short pages kept.
#include "larkspur-io/src/uring/page_reader.h"

#include <unistd.h>

#include <bit>
#include <cerrno>

#include "larkspur-core/src/base/fault.h"
#include "larkspur-core/src/base/file.h"

namespace larkspur::io {

Status check_page_size(std::uint64_t page_size) {
  if (!std::has_single_bit(page_size)) {
    return Error::invalid_argument("page_size must be a positive power of two");
  }
  return ok();
}

Status check_same_length(std::size_t fds, std::size_t offsets) {
  if (fds != offsets) {
    return Error::invalid_argument(
        "file_descriptors and offsets must have the same length");
  }
  return ok();
}

Status check_descriptors(std::span<const std::int32_t> fds) {
  return for_each_distinct(fds, [](std::int32_t fd) -> Status {
    // Fails with ESPIPE exactly where the file has no position to seek,
    // which is where pread fails with ESPIPE too.
    if (::lseek(fd, 0, SEEK_CUR) < 0) return Error::from_errno(errno);
    return ok();
  });
}

Result<std::size_t> read_page(BorrowedFd fd, std::span<std::byte> buf,
                              std::uint64_t offset) {
  Result<std::size_t> n = read_at(fd.get(), buf, offset);
  if (!n) return std::move(n).error();
  if (*n == 0) return Error::io("EOF while reading page");
  if (buf.size() <= kMaxTransfer) return *n;
  // No single read fills a page this large, so a short read says nothing
  // about the end of the file: only a read of 0 bytes does.
  std::size_t done = *n;
  while (done < buf.size()) {
    Result<std::size_t> more =
        read_at(fd.get(), buf.subspan(done), offset + done);
    if (!more) return std::move(more).error();
    if (*more == 0) break;
    done += *more;
  }
  return done;
}

Status read_pages_positional(std::span<const std::int32_t> fds,
                             std::span<const std::uint64_t> offsets,
                             PageTargets& targets) {
  if (fds.size() != offsets.size() || fds.size() != targets.buffers.size() ||
      fds.size() != targets.lengths.size()) {
    return fault("page reads given lists of different lengths");
  }
  if (Status s = check_descriptors(fds); !s) return s;
  for (std::size_t i = 0; i < fds.size(); ++i) {
    Result<std::size_t> n =
        read_page(BorrowedFd(fds[i]), targets.buffers[i], offsets[i]);
    if (!n) return std::move(n).error();
    targets.lengths[i] = *n;
  }
  return ok();
}

}  // namespace larkspur::io
