// The per-page read rule shared by both page readers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "larkspur-core/src/base/result.h"
#include "larkspur-core/src/base/unique_fd.h"

namespace larkspur::io {

inline constexpr std::uint64_t kDefaultPageSize = 4096;

// Fails with "page_size must be a positive power of two" unless exactly one
// bit of `page_size` is set.
Status check_page_size(std::uint64_t page_size);

// Fails with "file_descriptors and offsets must have the same length".
Status check_same_length(std::size_t fds, std::size_t offsets);

// One pread of buf.size() bytes at `offset` (handed to the kernel as a
// signed file offset, so 2^63 and above fail with EINVAL). Returns the
// count read, at least 1; a read of 0 bytes is "EOF while reading page";
// no retry, EINTR included.
Result<std::size_t> read_page(BorrowedFd fd, std::span<std::byte> buf,
                              std::uint64_t offset);

}  // namespace larkspur::io
