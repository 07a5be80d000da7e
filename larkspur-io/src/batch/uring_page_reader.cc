// The io_uring page reads: probe, per-thread ring and the batch loop.
#include "larkspur-io/src/batch/uring_page_reader.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <limits>
#include <optional>

#include "larkspur-core/src/base/fault.h"

namespace larkspur::io {

namespace {

// 0: not probed yet, 1: io_uring works, 2: it does not. Only ever written
// under the interpreter lock, which this layer cannot see, hence atomic.
std::atomic<std::uint8_t> probe_result{0};

// Bumped in the child of every fork. A ring made before a fork is shared
// with the parent (the same mappings, the same queues), so the child must
// never use it; it makes its own instead.
std::atomic<std::uint64_t> fork_generation{0};

void on_fork_child() {
  fork_generation.fetch_add(1, std::memory_order_relaxed);
}

void watch_forks() {
  static const int registered =
      ::pthread_atfork(nullptr, nullptr, &on_fork_child);
  static_cast<void>(registered);
}

// The calling thread's ring and the fork generation it was made in;
// destroyed by the thread-local destructor when the thread ends.
struct ThreadRing {
  std::optional<IoUring> ring;
  std::uint64_t generation = 0;
};

ThreadRing& thread_ring() {
  thread_local ThreadRing slot;
  return slot;
}

// Waits for and discards the completions of the `in_flight` requests the
// kernel still holds. A wait interrupted by a signal is retried. False when
// the kernel refuses to wait: the requests may then still write into their
// buffers.
bool reap(IoUring& ring, std::uint32_t in_flight) {
  while (in_flight > 0) {
    if (ring.next_completion()) {
      --in_flight;
      continue;
    }
    Result<std::uint32_t> waited = ring.submit_and_wait(in_flight);
    if (!waited && waited.error().sys_errno() != EINTR) return false;
  }
  return true;
}

// One batch: pages [start, start + count) with count <= kBatchSize and
// count <= the ring's submission queue size in normal use.
//
// Phases:
//   1. Queue one read per page, tagged with its index within the batch.
//   2. One io_uring_enter submits them all and waits for `count`
//      completions.
//   3. Take `count` completions one by one; the tag alone ties a completion
//      to its page (the kernel completes in any order). A positive result
//      is the page's length; short reads are kept as short pages.
//   4. On failure, clean up before reporting (below).
//
// Error strategy: the first failure in the order things happen decides the
// error (a push failure, a failed enter, a missing completion, or the first
// failing completion taken) and ends phases 1-3. Then nothing of the batch
// may outlive the call, because a later call on this thread would mistake
// leftover completions for its own and the caller is about to release the
// buffers: entries still queued are withdrawn (the kernel never saw them),
// and every request the kernel took is reaped. If reaping is impossible the
// buffers are pinned for the caller, who leaks them rather than free memory
// the kernel may still write.
//
// Invariants: on entry and on return (unless pinned) the ring has no queued
// entries and no completions, so the requests the kernel took in this batch
// are exactly `queued - ring.unsubmitted()` after the enter, and each posts
// exactly one completion.
Status run_batch(IoUring& ring, std::size_t start, std::uint32_t count,
                 std::span<const std::int32_t> fds,
                 std::span<const std::uint64_t> offsets,
                 PageTargets& targets) {
  Status status = ok();

  std::uint32_t queued = 0;
  for (; queued < count; ++queued) {
    const std::size_t page = start + queued;
    const std::span<std::byte> buffer = targets.buffers[page];
    Status pushed = ring.push_read(ReadRequest{
        .fd = fds[page],
        .offset = offsets[page],
        .buffer = buffer.data(),
        .length = static_cast<std::uint32_t>(buffer.size()),
        .tag = queued,
    });
    if (!pushed) {
      status = std::move(pushed).error().with_prefix("SQ push: ");
      break;
    }
  }

  std::uint32_t in_flight = 0;
  if (status) {
    Result<std::uint32_t> entered = ring.submit_and_wait(count);
    // Counted from the ring, not the result: a failed or partial enter may
    // still have handed some entries to the kernel.
    in_flight = queued - ring.unsubmitted();
    if (!entered) {
      status = std::move(entered).error().with_prefix("submit_and_wait: ");
    }
  }

  for (std::uint32_t taken = 0; status && taken < count; ++taken) {
    const std::optional<Completion> done = ring.next_completion();
    if (!done) {
      status = Error::os_text("no cqe for io_uring read");
      break;
    }
    if (in_flight > 0) --in_flight;
    if (done->tag >= count) {
      status = index_fault(count, done->tag);
    } else if (done->res < 0) {
      status = Error::from_errno(-done->res);
    } else if (done->res == 0) {
      status = Error::io("EOF while reading page");
    } else {
      targets.lengths[start + done->tag] = static_cast<std::size_t>(done->res);
    }
  }

  if (!status) {
    ring.discard_unsubmitted();
    if (!reap(ring, in_flight)) targets.pinned = true;
  }
  return status;
}

}  // namespace

bool uring_works() {
  std::uint8_t result = probe_result.load(std::memory_order_acquire);
  if (result == 0) {
    // The probe ring is destroyed at the end of this statement.
    result = IoUring::create(kProbeRingEntries).has_value() ? 1 : 2;
    probe_result.store(result, std::memory_order_release);
  }
  return result == 1;
}

bool ring_reads(std::uint64_t page_size) {
  return uring_works() && page_size <= kMaxRingPageSize;
}

Status read_pages_uring(std::span<const std::int32_t> fds,
                        std::span<const std::uint64_t> offsets,
                        PageTargets& targets) {
  watch_forks();
  ThreadRing& slot = thread_ring();
  const std::uint64_t generation =
      fork_generation.load(std::memory_order_relaxed);
  if (slot.ring && slot.generation != generation) {
    // Inherited through fork: releasing it here unmaps this process's view
    // and closes this process's descriptor only; the parent's ring lives on.
    slot.ring.reset();
  }
  if (!slot.ring) {
    Result<IoUring> ring = IoUring::create(kThreadRingEntries);
    if (!ring) return ring.error().with_prefix("IoUring::new: ");
    slot.ring.emplace(std::move(*ring));
    slot.generation = generation;
  }
  if (fds.empty()) return ok();
  Status status = read_pages_on(*slot.ring, fds, offsets, targets);
  // Closing the ring cancels what it still holds; the buffers stay pinned.
  if (targets.pinned) slot.ring.reset();
  return status;
}

Status read_pages_on(IoUring& ring, std::span<const std::int32_t> fds,
                     std::span<const std::uint64_t> offsets,
                     PageTargets& targets) {
  if (fds.size() != offsets.size() || fds.size() != targets.buffers.size() ||
      fds.size() != targets.lengths.size()) {
    return fault("page reads given lists of different lengths");
  }
  for (const std::span<std::byte> buffer : targets.buffers) {
    if (buffer.size() > kMaxRingPageSize) return capacity_overflow();
  }
  // The kernel takes offset 2^64 - 1 as "the file position" and would read
  // from and move the caller's descriptor; like pread, refuse every offset
  // that is negative as a file offset before anything is queued.
  for (const std::uint64_t offset : offsets) {
    if (offset > static_cast<std::uint64_t>(
                     std::numeric_limits<std::int64_t>::max())) {
      return Error::from_errno(EINVAL);
    }
  }
  for (std::size_t start = 0; start < fds.size(); start += kBatchSize) {
    const auto count =
        static_cast<std::uint32_t>(std::min(kBatchSize, fds.size() - start));
    if (Status s = run_batch(ring, start, count, fds, offsets, targets); !s) {
      return s;
    }
  }
  return ok();
}

}  // namespace larkspur::io
