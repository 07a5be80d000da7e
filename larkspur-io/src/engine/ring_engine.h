// The ring engine: one io_uring ring kept up to `depth` reads deep by a
// thread of its own, serving the row reads of many requests at once.
//
// The kernel only ever writes into the engine's own buffer slots; the
// engine thread copies each finished read's rows into the request's output.
// A request's output must stay valid until the request is done, and no
// longer: a cancelled request is done once its reads in flight have landed
// in the slots.
//
// An engine belongs to the process that started it: a forked child must
// start its own (the ring is the parent's); destroying the parent's engine
// in a child releases the child's copies and joins nothing.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "larkspur-core/src/base/mapping.h"
#include "larkspur-core/src/base/process.h"
#include "larkspur-core/src/base/result.h"
#include "larkspur-core/src/base/unique_fd.h"
#include "larkspur-io/src/engine/ring_rows.h"
#include "larkspur-io/src/uring/io_uring.h"

namespace larkspur::io {

// One request: rows to read into `out`, and how it ended.
class RowJob {
 public:
  // `refs` sorted by (row id, position), every row inside the table;
  // `out` holds refs.size() × width bytes at least, until done() is true,
  // or is null: the rows are read (warming the page cache) and dropped.
  // Fails with the error of eventfd().
  static Result<std::shared_ptr<RowJob>> make(std::vector<RowRef> refs,
                                              std::byte* out);

  // Whether the request has ended (its reads all finished or dropped).
  // In a process forked while it was not: at once, with ECANCELED (its
  // reads land in the parent's memory alone).
  bool done() const;
  // Waits until done or `timeout` (none: for ever); whether it is done.
  bool wait(std::optional<std::chrono::nanoseconds> timeout = std::nullopt);
  // The outcome once done: ok, the first read error, or ECANCELED.
  Status result() const;
  // Whether the request was made in another process (a forked child's copy).
  bool foreign() const { return this_process() != owner_; }
  // Asks the engine to drop the reads not yet submitted. The request is
  // still only done once its reads in flight have finished; after that,
  // nothing more is written to `out`.
  void cancel() { cancelled_.store(true, std::memory_order_relaxed); }
  // An eventfd that becomes readable once the request is done.
  int event_fd() const;
  // Reads finished, bytes they returned and distinct rows copied; final
  // once done (nothing in a forked child).
  ReadTally tally() const;

  // Runs `hook` with the outcome once the reads have ended, before the
  // request is done (on the engine's thread): it may still use `out`.
  // Set before the job is submitted.
  void on_finish(std::function<void(const Status&)> hook) {
    on_finish_ = std::move(hook);
  }

  // For make() alone.
  class Key {
    friend class RowJob;
    Key() = default;
  };
  RowJob(Key /*key*/, std::vector<RowRef> refs, std::byte* out, UniqueFd event);

 private:
  friend class RingEngine;
  void finish(Status status);

  // Whether the request ended before this process was forked from its own.
  bool ended_before_fork() const;

  std::vector<RowRef> refs_;
  std::byte* out_;
  UniqueFd event_;
  pid_t owner_;
  // The process whose own eventfd `event_` holds: a forked child puts a
  // readable one of its own in its place, since the parent's may never be
  // written for the child.
  mutable std::atomic<pid_t> event_owner_;
  std::atomic<bool> cancelled_{false};
  // The engine thread's alone until finish().
  std::vector<RowSpan> spans_;
  std::size_t next_span_ = 0;
  std::size_t in_flight_ = 0;
  bool dropped_ = false;     // reads left out after cancel() or an error
  bool background_ = false;  // a prefetch: read after every other job
  ReadTally tally_;
  std::optional<Error> error_;
  std::function<void(const Status&)> on_finish_;

  // A forked child never takes mu_: its parent's engine thread may have
  // held it at the fork.
  mutable std::mutex mu_;
  std::condition_variable cv_;
  // Set under mu_ once result_ (not changed after) is.
  std::atomic<bool> done_{false};
  Status result_;
};

// Owns the ring, its buffer slots, the O_DIRECT descriptors (direct) and
// the thread. Thread-safe.
class RingEngine {
 public:
  // Starts the engine for `store`, which must outlive it.
  static Result<std::unique_ptr<RingEngine>> start(
      const Store& store, const RingRowsOptions& options);

  // Waits for every request submitted to finish, then stops the thread.
  ~RingEngine();
  RingEngine(const RingEngine&) = delete;
  RingEngine& operator=(const RingEngine&) = delete;

  // Queues `job`; the engine reads its rows, then finishes it.
  void submit(std::shared_ptr<RowJob> job);
  // Queues `job` behind every other (a prefetch), unless the background
  // jobs queued already hold kBackgroundRows rows: then it is not queued
  // (false) and never finishes.
  bool submit_background(std::shared_ptr<RowJob> job);

  static constexpr std::size_t kBackgroundRows = 65536;

  // Why the ring stopped working, once it has.
  std::optional<Error> failure() const;

  const RingRowsOptions& options() const { return options_; }
  // Shard s's descriptor for reads: O_DIRECT when the engine reads direct.
  std::span<const int> read_fds() const { return read_fds_; }
  const Store& store() const { return *store_; }
  // Whether this process started the engine (not a forked child of it)
  // and its ring still works.
  bool usable_here() const {
    return started_here() && !broken_.load(std::memory_order_acquire);
  }
  bool started_here() const { return this_process() == owner_; }

  // For start() alone.
  class Key {
    friend class RingEngine;
    Key() = default;
  };
  RingEngine(Key /*key*/, const Store& store, const RingRowsOptions& options,
             std::uint32_t slot_bytes, std::vector<UniqueFd> direct_fds,
             Mapping buffers, IoUring ring, UniqueFd wake);

 private:
  void run() noexcept;
  // Where the wake-up read lands: the 8 bytes after the slots.
  std::byte* wake_target() const {
    return buffers_.bytes() + std::size_t{slot_bytes_} * options_.depth;
  }
  void take_new_jobs();
  void push_reads();
  // Queues the read of `slot`'s span from byte `from` on; false when the
  // submission queue is full.
  bool push_span_read(std::uint32_t slot, const RowSpan& span,
                      std::uint32_t from);
  // push_reads for the foreground or the background jobs; false once no
  // more reads fit.
  bool push_reads_of(bool background);
  // Queues the reads of `job` (none once it is cancelled or failed); false
  // once no more reads fit.
  bool push_job_reads(const std::shared_ptr<RowJob>& job);
  void on_completion(const Completion& done);
  // Finishes the active jobs that have nothing left in flight or to read.
  void settle_jobs();
  void fail_all(const Error& error);

  const Store* store_;
  RingRowsOptions options_;
  std::uint32_t slot_bytes_;
  std::vector<UniqueFd> direct_fds_;
  std::vector<int> read_fds_;
  Mapping buffers_;
  IoUring ring_;
  // Whether reads name their shard by registered index, and land in the
  // registered buffer (the slots).
  bool fixed_files_ = false;
  bool fixed_buffer_ = false;
  UniqueFd wake_;
  pthread_t thread_{};
  bool started_ = false;
  pid_t owner_ = 0;
  // Set by the engine thread when the ring failed with reads in flight:
  // the buffer slots are then never unmapped, and new jobs fail at once.
  std::atomic<bool> broken_{false};
  std::atomic<std::size_t> background_rows_{0};
  std::optional<Error> broken_error_;  // guarded by mu_

  mutable std::mutex mu_;
  std::deque<std::shared_ptr<RowJob>> incoming_;  // guarded by mu_
  bool stopping_ = false;                         // guarded by mu_

  // The engine thread's alone.
  std::deque<std::shared_ptr<RowJob>> active_;
  std::vector<std::uint32_t> free_slots_;
  // Per slot: the job and span its read belongs to, where in the span the
  // read began (past 0 when it continues a short read), and how many of
  // the span's bytes are in the slot.
  std::vector<std::shared_ptr<RowJob>> slot_job_;
  std::vector<std::size_t> slot_span_;
  std::vector<std::uint32_t> slot_from_;
  std::vector<std::uint32_t> slot_got_;
};

}  // namespace larkspur::io
