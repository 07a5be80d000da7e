// The reads behind IoUringPageReader: a process-wide io_uring probe, one
// ring per thread, and the batch loop that reads pages through a ring.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "larkspur-core/src/base/result.h"
#include "larkspur-io/src/uring/io_uring.h"
#include "larkspur-io/src/uring/page_reader.h"

namespace larkspur::io {

inline constexpr std::uint32_t kThreadRingEntries = 256;
inline constexpr std::uint32_t kProbeRingEntries = 8;
inline constexpr std::size_t kBatchSize = 256;
// The largest page one request carries: a request's length field has 32
// bits, and a read returns at most kMaxTransfer bytes, so a larger page
// would come back short in the middle of a file.
inline constexpr std::uint64_t kMaxRingPageSize = kMaxTransfer;

// Whether io_uring works in this process. The first call creates a ring of
// kProbeRingEntries and destroys it at once; its answer holds for the life
// of the process. Callers hold the interpreter lock, so the probe runs once.
bool uring_works();

// Whether pages of `page_size` bytes are read through the ring: io_uring
// works (running the probe if needed) and one request can fill a page.
// Otherwise the reader reads page by page with read_pages_positional.
bool ring_reads(std::uint64_t page_size);

// The calling thread's ring, created with kThreadRingEntries on its first
// call and destroyed when the thread ends (or made anew in a forked child,
// which shares its parent's). Fails with "IoUring::new: {}".
Result<IoUring*> calling_thread_ring();
// Destroys the calling thread's ring: after read_pages_on left `pinned`
// set, closing it cancels what it still holds.
void drop_calling_thread_ring();

// Reads page i from fds[i] at offsets[i] through the calling thread's ring,
// created with kThreadRingEntries on the thread's first call (even when
// there are no pages) and destroyed when the thread ends. Fails with
// "IoUring::new: {}" when the ring cannot be created; then as
// check_descriptors; otherwise as read_pages_on. Descriptors that are
// neither regular files nor block devices (character devices, event and
// timer descriptors, directories) are not given to the ring, whose reads of
// them can wait for ever: such a call is read with read_pages_positional,
// as PageReader reads it. A ring that had to be given up with requests in
// flight is destroyed, so the thread's next call makes a fresh one; so is a
// ring inherited through fork, which the child shares with its parent.
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
