// IoJob, run_jobs and IoPool: the process-wide pool of I/O worker threads.
#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "larkspur-core/src/base/result.h"

namespace larkspur::io {

// An owned one-shot task that may move to another thread. It returns a
// fault (an Error, normally of code kFault) or success; ordinary I/O errors
// are reported by the job itself through state its creator set up.
class IoJob {
 public:
  // The constraint keeps IoJob itself away from this constructor.
  template <class F>
    requires(!std::same_as<std::decay_t<F>, IoJob> &&
             std::is_invocable_r_v<Status, F&>)
  // NOLINTNEXTLINE(bugprone-forwarding-reference-overload)
  explicit IoJob(F&& fn)
      : impl_(std::make_unique<Model<std::decay_t<F>>>(std::forward<F>(fn))) {}

  IoJob(IoJob&& other) noexcept = default;
  IoJob& operator=(IoJob&& other) noexcept = default;
  IoJob(const IoJob&) = delete;
  IoJob& operator=(const IoJob&) = delete;
  ~IoJob() = default;

  // Runs the task once. C++ exceptions escaping the task become faults
  // (std::bad_alloc becomes a kNoMemory error); nothing escapes.
  Status run() noexcept;

 private:
  struct Concept {
    virtual ~Concept() = default;
    virtual Status call() = 0;
  };
  template <class F>
  struct Model final : Concept {
    explicit Model(F&& f) : fn(std::move(f)) {}
    explicit Model(const F& f) : fn(f) {}
    Status call() override { return fn(); }
    F fn;
  };
  std::unique_ptr<Concept> impl_;
};

// Runs every job and returns when all have finished; the calling thread
// runs none of them, but runs `here` (when given) while they run, its fault
// counting as theirs. With no jobs, `here` alone runs, and no thread or
// pool is involved. Jobs go to the process-wide pool, or each to a
// thread of its own when the pool is switched off (LARKSPUR_NO_POOL), could
// not be created, or has fewer workers than there are jobs. Each process
// has its own pool: a child forked after the parent used one makes its own
// on first use, with the parent's settings. Fails, after
// all jobs finished, with the first recorded fault (pooled route) or "a
// scoped thread panicked" (thread-per-job route). Thread-safe; may be
// called with or without the interpreter lock.
Status run_jobs(std::vector<IoJob> jobs, IoJob* here = nullptr);

class PoolShared;

// A set of long-lived worker threads, named "larkspur-io-{i}", taking jobs
// from one FIFO queue. Workers are never joined: they wait for work until
// the process exits (the process-wide pool is never destroyed; destroying
// another one leaves its workers idle). Thread-safe.
class IoPool {
 public:
  // Starts `workers` (at least 1) threads. When one cannot be started the
  // pool is not made, and the threads already started are stopped and
  // joined before this returns.
  static Result<IoPool> start(std::uint64_t workers);

  IoPool(IoPool&& other) noexcept;
  IoPool& operator=(IoPool&& other) noexcept;
  IoPool(const IoPool&) = delete;
  IoPool& operator=(const IoPool&) = delete;
  ~IoPool();

  std::uint64_t workers() const { return workers_; }

  // Queues every job (at most workers() of them) in one step, wakes
  // workers for them (at most one wake-up per job), runs `here` (when
  // given) on the calling thread meanwhile, and returns when all have
  // finished, with the first fault any of them reported.
  Status run(std::vector<IoJob> jobs, IoJob* here = nullptr);

 private:
  IoPool(std::uint64_t workers, std::shared_ptr<PoolShared> shared);

  std::uint64_t workers_;
  std::shared_ptr<PoolShared> shared_;
};

// Runs each job on a thread of its own and returns when all have finished.
// Fails with "failed to spawn thread: ..." when a thread cannot be started
// (the jobs not yet started are dropped), else with "a scoped thread
// panicked" when any job faulted.
Status run_on_threads(std::vector<IoJob> jobs, IoJob* here = nullptr);

// The worker count of this process's pool once it runs; nullopt before
// the first pooled call (in a forked child: before the child's first), when
// the pool is switched off or its creation failed.
std::optional<std::uint64_t> process_pool_workers();

// The worker count of this process's pool, making the pool on first use as
// run_jobs does; 0 when the pool is switched off or could not be made. At
// most that many jobs go to run_jobs without a thread started for each.
std::uint64_t pooled_workers();

}  // namespace larkspur::io
