// The per-page read rule: one pread per page, short pages kept.
#include "larkspur-io/src/batch/page_reader.h"

#include <unistd.h>

#include <bit>
#include <cerrno>

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

Result<std::size_t> read_page(BorrowedFd fd, std::span<std::byte> buf,
                              std::uint64_t offset) {
  const ssize_t n =
      ::pread(fd.get(), buf.data(), buf.size(), static_cast<off_t>(offset));
  if (n < 0) return Error::from_errno(errno);
  if (n == 0) return Error::io("EOF while reading page");
  return static_cast<std::size_t>(n);
}

}  // namespace larkspur::io
