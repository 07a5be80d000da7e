// The io_uring page reads: probe, per-thread ring and the batch loop.
#include "larkspur-io/src/uring/uring_page_reader.h"

#include <pthread.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <limits>
#include <optional>

#include "larkspur-core/src/base/fault.h"
#include "larkspur-core/src/base/scope_exit.h"
#include "larkspur-core/src/base/texts.h"

namespace larkspur::io {

namespace {

// 0: not probed yet, 1: io_uring works, 2: it does not. Only ever written
// under the interpreter lock, which this layer cannot see, hence atomic.
// Process-wide state.
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
std::atomic<std::uint8_t> probe_result{0};

// Bumped in the child of every fork. A ring made before a fork is shared
// with the parent (the same mappings, the same queues), so the child must
// never use it; it makes its own instead. Process-wide state.
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
std::atomic<std::uint64_t> fork_generation{0};

void on_fork_child() {
  fork_generation.fetch_add(1, std::memory_order_relaxed);
}

void watch_forks() {
  static const int kRegistered =
      ::pthread_atfork(nullptr, nullptr, &on_fork_child);
  static_cast<void>(kRegistered);
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
// kernel still holds. A wait interrupted by a signal is resumed. False when
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

// Leaves the ring as a batch found it, on every way out of the batch, also
// when building an error message throws std::bad_alloc: entries still
// queued are withdrawn (the kernel never saw them) and every request the
// kernel took is reaped; if that is impossible the buffers are pinned.
class BatchCleanup {
 public:
  BatchCleanup(IoUring& ring, PageTargets& targets)
      : ring_(ring), targets_(targets) {}
  BatchCleanup(const BatchCleanup&) = delete;
  BatchCleanup& operator=(const BatchCleanup&) = delete;
  ~BatchCleanup() {
    if (clean_) return;
    ring_.discard_unsubmitted();
    if (!reap(ring_, in_flight_)) targets_.pinned = true;
  }

  // The kernel took `n` more requests; each posts one completion.
  void entered(std::uint32_t n) { in_flight_ += n; }
  void took_completion() {
    if (in_flight_ > 0) --in_flight_;
  }
  // Every request completed and every completion was taken.
  void done() { clean_ = true; }

 private:
  IoUring& ring_;
  PageTargets& targets_;
  std::uint32_t in_flight_ = 0;
  bool clean_ = false;
};

// Successful enters in a row that neither hand over an entry nor make a
// completion available before the batch is given up with "no cqe for
// io_uring read". The kernel takes at least one entry per enter or fails
// it, and a wait that succeeds leaves completions: this bounds only a
// kernel that breaks those rules, which would otherwise spin for ever.
// Interrupted waits never count.
constexpr int kMaxIdleEnters = 64;

// The page a completion reports on, or its error.
Status record(const Completion& done, std::size_t start, std::uint32_t count,
              PageTargets& targets) {
  if (done.tag >= count) return index_fault(count, done.tag);
  if (done.res < 0) return Error::from_errno(-done.res);
  if (done.res == 0 && !targets.empty_at_eof) {
    return Error::io("EOF while reading page");
  }
  targets.lengths[start + done.tag] = static_cast<std::size_t>(done.res);
  return ok();
}

// One batch: pages [start, start + count) with count <= kBatchSize and
// count <= the ring's submission queue size in normal use.
//
// Phases:
//   1. Queue one read per page, tagged with its index within the batch.
//   2. Take every completion available; the tag alone ties a completion to
//      its page (the kernel completes in any order). A positive result is
//      the page's length; short reads are kept as short pages.
//   3. While completions are missing, io_uring_enter submits whatever is
//      still queued and waits for all the missing completions; then back
//      to 2. Normally one enter does everything. It returns early when a
//      signal interrupts the wait (EINTR, or a success that counts only the
//      entries submitted) and takes only part of the queue when the kernel
//      runs short of resources (it then does not wait at all); both are
//      simply entered again. Waiting for every missing completion is never
//      waiting for more than was submitted: the kernel waits only once it
//      has taken every queued entry.
//   4. On failure, clean up before reporting (below).
//
// Error strategy: the first failure in the order things happen decides the
// error (a push failure, a failed enter other than EINTR, a run of enters
// without progress, or the first failing completion taken) and ends phases
// 1-3. Then nothing of the batch may outlive the call, because a later call
// on this thread would mistake leftover completions for its own and the
// caller is about to release the buffers: entries still queued are
// withdrawn (the kernel never saw them), and every request the kernel took
// is reaped (by BatchCleanup, so also when an exception leaves the batch).
// If reaping is impossible the buffers are pinned for the caller, who leaks
// them rather than free memory the kernel may still write.
//
// Invariants: on entry and on return (unless pinned) the ring has no queued
// entries and no completions. Within the batch, the requests the kernel
// took are counted from the ring's queue around each enter (a failed or
// interrupted enter may still have handed entries over), each posts
// exactly one completion, and queued + in flight + taken == count.
Status run_batch(IoUring& ring, std::size_t start, std::uint32_t count,
                 std::span<const std::int32_t> fds,
                 std::span<const std::uint64_t> offsets, PageTargets& targets) {
  BatchCleanup cleanup(ring, targets);

  for (std::uint32_t queued = 0; queued < count; ++queued) {
    const std::size_t page = start + queued;
    const std::span<std::byte> buffer = targets.buffers[page];
    Status pushed = ring.push_read(ReadRequest{
        .fd = fds[page],
        .offset = offsets[page],
        .buffer = buffer.data(),
        .length = static_cast<std::uint32_t>(buffer.size()),
        .tag = queued,
    });
    if (!pushed) return std::move(pushed).error().with_prefix(texts::kSqPush);
  }

  std::uint32_t taken = 0;
  int idle = 0;  // successful enters in a row that moved nothing
  bool moved_nothing = false;
  while (true) {
    bool progress = false;
    while (const std::optional<Completion> done = ring.next_completion()) {
      cleanup.took_completion();
      ++taken;
      progress = true;
      if (Status s = record(*done, start, count, targets); !s) return s;
    }
    if (taken == count) break;
    if (progress) {
      idle = 0;
    } else if (moved_nothing && ++idle > kMaxIdleEnters) {
      return Error::os_text("no cqe for io_uring read");
    }

    const std::uint32_t queued = ring.unsubmitted();
    Result<std::uint32_t> entered = ring.submit_and_wait(count - taken);
    const std::uint32_t took = queued - ring.unsubmitted();
    cleanup.entered(took);
    if (took > 0) idle = 0;
    moved_nothing = entered.has_value() && took == 0;
    // EINTR: a signal ended the wait, not the reads; wait again.
    if (!entered && entered.error().sys_errno() != EINTR) {
      return std::move(entered).error().with_prefix("submit_and_wait: ");
    }
  }

  cleanup.done();
  return ok();
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

Result<IoUring*> calling_thread_ring() {
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
    if (!ring) return ring.error().with_prefix(texts::kRingNew);
    slot.ring.emplace(std::move(*ring));
    slot.generation = generation;
  }
  return &*slot.ring;
}

void drop_calling_thread_ring() { thread_ring().ring.reset(); }

Status read_pages_uring(std::span<const std::int32_t> fds,
                        std::span<const std::uint64_t> offsets,
                        PageTargets& targets) {
  Result<IoUring*> ring = calling_thread_ring();
  if (!ring) return std::move(ring).error();
  if (fds.empty()) return ok();
  bool files_only = true;
  Status checked = for_each_distinct(fds, [&](std::int32_t fd) -> Status {
    if (Status s = check_descriptors({&fd, 1}); !s) return s;
    struct stat st {};
    files_only = files_only && ::fstat(fd, &st) == 0 &&
                 (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
    return ok();
  });
  if (!checked) return checked;
  if (!files_only) return read_pages_positional(fds, offsets, targets);
  // A ring given up with requests in flight goes, however the reads end:
  // closing it cancels what it still holds; the buffers stay pinned.
  const ScopeExit drop([&targets] {
    if (targets.pinned) drop_calling_thread_ring();
  });
  return read_pages_on(**ring, fds, offsets, targets);
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
    if (offset >
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
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
