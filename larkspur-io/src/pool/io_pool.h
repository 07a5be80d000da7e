// IoJob, run_jobs and IoPool: the process-wide pool of I/O worker threads.
#pragma once

#include <concepts>
#include <memory>
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
  template <class F>
    requires(!std::same_as<std::decay_t<F>, IoJob> &&
             std::is_invocable_r_v<Status, F&>)
  explicit IoJob(F&& fn)
      : impl_(std::make_unique<Model<std::decay_t<F>>>(std::forward<F>(fn))) {}

  IoJob(IoJob&&) noexcept = default;
  IoJob& operator=(IoJob&&) noexcept = default;

  // Runs the task once. C++ exceptions escaping the task become faults.
  Status run();

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
// never runs a job itself. Jobs go to the process-wide pool, or each to a
// thread of its own when the pool is switched off (LARKSPUR_NO_POOL), could
// not be created, or has fewer workers than there are jobs. Fails, after
// all jobs finished, with the first recorded fault (pooled route) or "a
// scoped thread panicked" (thread-per-job route). Thread-safe; may be
// called with or without the interpreter lock.
Status run_jobs(std::vector<IoJob> jobs);

}  // namespace larkspur::io
