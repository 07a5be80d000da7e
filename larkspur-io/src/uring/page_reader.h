// The per-page read rule shared by both page readers, the descriptor check
// that comes before any read, and the page-by-page reads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "larkspur-core/src/base/result.h"
#include "larkspur-core/src/base/unique_fd.h"

namespace larkspur::io {

inline constexpr std::uint64_t kDefaultPageSize = 4096;

// The most one read of Linux transfers (MAX_RW_COUNT with 4 KiB pages). A
// page larger than this cannot be filled by one read; page sizes are powers
// of two, so these are the pages of 2 GiB and more.
inline constexpr std::uint64_t kMaxTransfer = 0x7ffff000;

// Where the pages of one call go: page i is read into buffers[i] (memory the
// caller owns) and the count read is stored in lengths[i].
struct PageTargets {
  std::span<const std::span<std::byte>> buffers;
  std::span<std::size_t> lengths;
  // Set by a failed ring read that could not make sure the kernel is done
  // with the buffers: their owner must never release them (a leak, not a
  // use-after-free).
  bool pinned = false;
  // Whether a read at the end of the file is a page of no bytes rather
  // than the error "EOF while reading page" (ring reads).
  bool empty_at_eof = false;
};

// Fails with "page_size must be a positive power of two" unless exactly one
// bit of `page_size` is set.
Status check_page_size(std::uint64_t page_size);

// Fails with "file_descriptors and offsets must have the same length".
Status check_same_length(std::size_t fds, std::size_t offsets);

// Calls `visit(fd)` once for each distinct descriptor of `fds`, in the order
// of first appearance, and returns the first failure. A call of one
// descriptor repeated costs one visit and no allocation.
template <class Visit>
Status for_each_distinct(std::span<const std::int32_t> fds, Visit&& visit) {
  if (fds.empty()) return ok();
  const std::int32_t first = fds.front();
  if (std::all_of(fds.begin(), fds.end(),
                  [first](std::int32_t fd) { return fd == first; })) {
    return visit(first);
  }
  std::vector<std::int32_t> distinct(fds.begin(), fds.end());
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  std::vector<bool> visited(distinct.size(), false);
  for (const std::int32_t fd : fds) {
    const auto at = static_cast<std::size_t>(
        std::lower_bound(distinct.begin(), distinct.end(), fd) -
        distinct.begin());
    if (visited[at]) continue;
    visited[at] = true;
    if (Status s = visit(fd); !s) return s;
  }
  return ok();
}

// Fails as a positional read would, before anything is read, when a
// descriptor cannot take positional reads at all: ESPIPE for pipes, FIFOs,
// sockets and other streams (a ring read of one would ignore its offset or
// wait for data forever), EBADF for a descriptor that is not open. Asks
// each distinct descriptor once, in order of first appearance, with
// lseek(fd, 0, SEEK_CUR), which moves nothing.
Status check_descriptors(std::span<const std::int32_t> fds);

// Reads one page of buf.size() bytes at `offset` (handed to the kernel as a
// signed file offset, so 2^63 and above fail with EINVAL); EINTR is retried.
// A page the kernel can fill in one read takes exactly one pread, and a
// short read is a short page. A page larger than kMaxTransfer is read on
// until it is full or a read returns 0 at the end of the file. Returns the
// count read, at least 1; 0 bytes is "EOF while reading page".
Result<std::size_t> read_page(BorrowedFd fd, std::span<std::byte> buf,
                              std::uint64_t offset);

// check_descriptors, then read_page for page i from fds[i] at offsets[i]
// into targets.buffers[i], in input order. The first failure ends the call;
// the lengths of pages read before it are set.
Status read_pages_positional(std::span<const std::int32_t> fds,
                             std::span<const std::uint64_t> offsets,
                             PageTargets& targets);

}  // namespace larkspur::io
