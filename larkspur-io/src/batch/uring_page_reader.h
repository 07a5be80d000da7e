// The reads behind IoUringPageReader: a process-wide io_uring probe, one
// ring per thread, and the batch loop that reads pages through a ring.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "larkspur-core/src/base/result.h"
#include "larkspur-io/src/batch/io_uring.h"

namespace larkspur::io {

inline constexpr std::uint32_t kThreadRingEntries = 256;
inline constexpr std::uint32_t kProbeRingEntries = 8;
inline constexpr std::size_t kBatchSize = 256;
// The largest page one request can carry (its length field is 32 bits).
inline constexpr std::uint64_t kMaxRingPageSize =
    std::numeric_limits<std::uint32_t>::max();

// Whether io_uring works in this process. The first call creates a ring of
// kProbeRingEntries and destroys it at once; its answer holds for the life
// of the process. Callers hold the interpreter lock, so the probe runs once.
bool uring_works();

// Whether pages of `page_size` bytes are read through the ring: io_uring
// works (running the probe if needed) and one request can carry a page.
// Otherwise the reader reads page by page with read_page.
bool ring_reads(std::uint64_t page_size);

// Where the pages of one call go: page i is read into buffers[i] (memory the
// caller owns, each at most kMaxRingPageSize bytes) and the count read is
// stored in lengths[i].
struct PageTargets {
  std::span<const std::span<std::byte>> buffers;
  std::span<std::size_t> lengths;
  // Set by a failed read that could not make sure the kernel is done with
  // the buffers: their owner must never release them (a leak, not a
  // use-after-free).
  bool pinned = false;
};

// Reads page i from fds[i] at offsets[i] through the calling thread's ring,
// created with kThreadRingEntries on the thread's first call (even when
// there are no pages) and destroyed when the thread ends. Fails with
// "IoUring::new: {}" when the ring cannot be created; otherwise as
// read_pages_on. A ring that had to be given up with requests in flight is
// destroyed, so the thread's next call makes a fresh one; so is a ring
// inherited through fork, which the child shares with its parent.
Status read_pages_uring(std::span<const std::int32_t> fds,
                        std::span<const std::uint64_t> offsets,
                        PageTargets& targets);

// The batch loop on a given ring that holds no queued entries and no
// completions; on return, success or failure, it still holds none (unless
// `targets.pinned` is set). Offsets of 2^63 or more fail with EINVAL before
// anything is queued; buffers larger than kMaxRingPageSize are a fault.
// Interrupted waits are resumed and entries the kernel did not take are
// submitted again, so a call returns only once every read it handed to
// the kernel has completed.
Status read_pages_on(IoUring& ring, std::span<const std::int32_t> fds,
                     std::span<const std::uint64_t> offsets,
                     PageTargets& targets);

}  // namespace larkspur::io
