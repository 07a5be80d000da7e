// The I/O worker pool: named long-lived workers on one FIFO queue, the
// per-batch latch and fault record, the thread-per-job route, and the
// process-wide pool that each process (also a forked child) makes for itself.
#include "larkspur-io/src/pool/io_pool.h"

#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "larkspur-core/src/base/fault.h"
#include "larkspur-core/src/base/no_destructor.h"
#include "larkspur-core/src/base/str_cat.h"
#include "larkspur-core/src/base/texts.h"
#include "larkspur-io/src/pool/pool_config.h"
#include "larkspur-io/src/pool/threads.h"

namespace larkspur::io {

namespace {

// A fault from an escaped exception; building its message may itself run
// out of memory, which must not escape either.
Error fault_from(const char* what) noexcept {
  try {
    return fault(what);
  } catch (...) {
    return Error::no_memory();
  }
}

// What one pooled call shares with its wrapped jobs: the count of finished
// jobs and the first fault recorded.
class Batch {
 public:
  explicit Batch(std::uint64_t total) : total_(total) {}

  void record(Error error) noexcept {
    const std::lock_guard lock(fault_mu_);
    if (!fault_) fault_.emplace(std::move(error));
  }

  // Called after record(), so a caller woken by the last job sees every
  // fault of its batch.
  void finish_one() noexcept {
    bool last = false;
    {
      const std::lock_guard lock(latch_mu_);
      last = ++finished_ == total_;
    }
    // Only the submitting thread waits, and only for the whole batch, so
    // it is woken once rather than once per job.
    if (last) latch_cv_.notify_all();
  }

  void wait() {
    std::unique_lock lock(latch_mu_);
    latch_cv_.wait(lock, [this] { return finished_ >= total_; });
  }

  std::optional<Error> take_fault() {
    const std::lock_guard lock(fault_mu_);
    return std::exchange(fault_, std::nullopt);
  }

 private:
  const std::uint64_t total_;
  std::mutex latch_mu_;
  std::condition_variable latch_cv_;
  std::uint64_t finished_ = 0;  // guarded by latch_mu_
  std::mutex fault_mu_;
  std::optional<Error> fault_;  // guarded by fault_mu_; later ones dropped
};

// A job as it sits in the queue: the job and its batch.
struct Task {
  IoJob job;
  std::shared_ptr<Batch> batch;

  void run() noexcept {
    Status status = [this] {
      // The job's resources go before the job counts as finished.
      IoJob local = std::move(job);
      return local.run();
    }();
    if (!status) batch->record(std::move(status).error());
    batch->finish_one();
    batch.reset();
  }
};

}  // namespace

// The queue and work signal shared by a pool and all of its workers.
class PoolShared {
 public:
  // Queues all of `tasks` or, when memory runs out (std::bad_alloc, thrown
  // before anything is queued), none of them.
  void push(std::vector<Task>& tasks) {
    bool wake = false;
    {
      const std::lock_guard lock(mu_);
      const std::size_t need = queue_.size() + tasks.size();
      if (queue_.capacity() < need) {
        queue_.reserve(std::max(need, 2 * queue_.capacity()));
      }
      for (Task& task : tasks) queue_.push_back(std::move(task));
      wake = claim_wake_up();
    }
    if (wake) work_.notify_one();
  }

  // The next task, waiting for one; nullopt once stop() was called and the
  // queue is empty.
  std::optional<Task> take() {
    std::unique_lock lock(mu_);
    while (head_ == queue_.size()) {
      if (stopping_) return std::nullopt;
      ++idle_;
      work_.wait(lock);
      --idle_;
      // Whoever wakes, notified or not, stands for one wake-up on its way.
      if (waking_ > 0) --waking_;
    }
    Task task = std::move(queue_[head_]);
    ++head_;
    if (head_ == queue_.size()) {
      queue_.clear();
      head_ = 0;
    } else if (head_ >= 1024 && 2 * head_ >= queue_.size()) {
      // Under steady load the queue never drains; drop the taken prefix.
      queue_.erase(queue_.begin(),
                   queue_.begin() + static_cast<std::ptrdiff_t>(head_));
      head_ = 0;
    }
    const bool wake = claim_wake_up();
    lock.unlock();
    if (wake) work_.notify_one();
    return task;
  }

  // Makes every worker return from take() once the queue is empty.
  void stop() {
    {
      const std::lock_guard lock(mu_);
      stopping_ = true;
    }
    work_.notify_all();
  }

 private:
  // Wake-ups are chained, one per job at most: the submitter wakes one
  // worker, and a worker that takes a job while more wait wakes the next,
  // unless a worker is already on its way. Workers that drain the queue
  // quickly are thus not joined by others that would find it empty, which
  // on a machine with few CPUs costs more than the jobs; jobs that block
  // (cold reads) keep the chain going, one worker per job.
  bool claim_wake_up() {
    if (head_ == queue_.size() || waking_ > 0 || idle_ == 0) return false;
    ++waking_;
    return true;
  }

  std::mutex mu_;
  std::condition_variable work_;
  std::vector<Task> queue_;  // guarded by mu_; [head_, end) is waiting
  std::size_t head_ = 0;     // guarded by mu_
  std::size_t idle_ = 0;     // guarded by mu_: workers waiting for work
  std::size_t waking_ = 0;   // guarded by mu_: wake-ups not yet arrived
  bool stopping_ = false;    // guarded by mu_
};

Status IoJob::run() noexcept {
  try {
    return impl_->call();
  } catch (const std::bad_alloc&) {
    return Error::no_memory();
  } catch (const std::exception& e) {
    return fault_from(e.what());
  } catch (...) {
    return fault_from("unknown exception in an I/O job");
  }
}

IoPool::IoPool(std::uint64_t workers, std::shared_ptr<PoolShared> shared)
    : workers_(workers), shared_(std::move(shared)) {}
IoPool::IoPool(IoPool&&) noexcept = default;
IoPool& IoPool::operator=(IoPool&&) noexcept = default;
IoPool::~IoPool() = default;

Result<IoPool> IoPool::start(std::uint64_t workers) {
  workers = std::max<std::uint64_t>(workers, 1);
  auto shared = std::make_shared<PoolShared>();
  StartedThreads started;
  // A start that fails stops and joins the workers it made: parked for
  // good, they would hold the memory and thread slots that the
  // thread-per-job route, taken instead, needs.
  const auto give_up = [&](Error error) {
    shared->stop();
    started.join_all();
    return error;
  };
  for (std::uint64_t i = 0; i < workers; ++i) {
    Result<pthread_t> tid = spawn([shared]() noexcept {
      // A fault inside a job never reaches here: Task::run is noexcept.
      while (std::optional<Task> task = shared->take()) task->run();
    });
    if (!tid) return give_up(std::move(tid).error());
    ::pthread_setname_np(*tid, worker_name(i).data());
    if (!started.add(*tid)) {
      Error error = give_up(Error::from_errno(ENOMEM));
      ::pthread_join(*tid, nullptr);
      return error;
    }
  }
  // Workers are never joined once the pool runs; detached, they need no
  // handle kept.
  started.detach_all();
  return IoPool(workers, std::move(shared));
}

Status IoPool::run(std::vector<IoJob> jobs, IoJob* here) {
  if (jobs.empty()) return here != nullptr ? here->run() : ok();
  auto batch = std::make_shared<Batch>(jobs.size());
  std::vector<Task> tasks;
  tasks.reserve(jobs.size());
  for (IoJob& job : jobs) tasks.push_back(Task{std::move(job), batch});
  shared_->push(tasks);
  if (here != nullptr) {
    // Recorded as the workers' are: whichever fault comes first is the call's.
    if (Status mine = here->run(); !mine)
      batch->record(std::move(mine).error());
  }
  batch->wait();
  if (std::optional<Error> first = batch->take_fault())
    return *std::move(first);
  return ok();
}

Status run_on_threads(std::vector<IoJob> jobs, IoJob* here) {
  std::vector<std::uint8_t> faulted(jobs.size(), 0);
  bool here_faulted = false;
  std::optional<Error> spawn_error;
  {
    // Declared after `jobs` and `faulted`, so every started thread is
    // joined before they go, also when an exception unwinds this scope.
    std::vector<ScopedThread> threads;
    threads.reserve(jobs.size());
    for (std::size_t i = 0; i < jobs.size(); ++i) {
      Result<pthread_t> tid =
          spawn([job = &jobs[i], flag = &faulted[i]]() noexcept {
            Status status = [job] {
              IoJob local = std::move(*job);
              return local.run();
            }();
            if (!status) *flag = 1;
          });
      if (!tid) {
        spawn_error =
            fault(str_cat(texts::kFailedToSpawnThread, tid.error().text()));
        break;
      }
      threads.emplace_back(*tid);
    }
    if (!spawn_error && here != nullptr) here_faulted = !here->run();
  }
  if (spawn_error) return *std::move(spawn_error);
  if (here_faulted ||
      std::find(faulted.begin(), faulted.end(), 1) != faulted.end()) {
    return fault(std::string(texts::kScopedThreadPanicked));
  }
  return ok();
}

namespace {

// The process-wide pool and the settings it is made from, one per process.
// A forked child has none of the parent's workers, and the parent's queue
// lock may have been held by a thread that does not exist in the child; the
// child therefore abandons the inherited pool without touching it (never
// destroying it) and makes a new one on first use, from the settings the
// parent read. A child also tries again where the parent's pool could not
// be made. mu_ is held across fork(), so no child is forked half way
// through making a pool. Never destroyed (workers are never joined).
class ProcessPool {
 public:
  // slot_ is raw memory a pool is constructed into, never zeroed first.
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init)
  ProcessPool() noexcept {
    // Registered as the library loads, before any pool exists. A failure
    // (ENOMEM) leaves forked children with the parent's pool, as before.
    static_cast<void>(
        ::pthread_atfork(&prepare_fork, &parent_after_fork, &child_after_fork));
  }
  ProcessPool(const ProcessPool&) = delete;
  ProcessPool& operator=(const ProcessPool&) = delete;
  ~ProcessPool() = delete;

  // The pool, made by the first call that needs it; nullptr when the pool
  // is switched off (LARKSPUR_NO_POOL) or could not be made in this process.
  IoPool* get() {
    if (IoPool* pool = pool_.load(std::memory_order_acquire)) return pool;
    if (settled_.load(std::memory_order_acquire)) return nullptr;
    return make();
  }

  // The pool if this process has made one, without making it.
  IoPool* current() const { return pool_.load(std::memory_order_acquire); }

 private:
  IoPool* make() {
    const std::lock_guard lock(mu_);
    if (IoPool* pool = pool_.load(std::memory_order_relaxed)) return pool;
    if (settled_.load(std::memory_order_relaxed)) return nullptr;
    // Each variable is read once per process (and inherited by children).
    if (!no_pool_read_) {
      no_pool_ = no_pool_from_env();
      no_pool_read_ = true;
    }
    if (!no_pool_ && workers_ == 0) workers_ = configured_worker_count();
    if (!no_pool_) {
      // std::bad_alloc from here leaves nothing started and nothing
      // settled: the next call tries again.
      if (Result<IoPool> started = IoPool::start(workers_)) {
        // Constructed over whatever an earlier process left in the slot,
        // which is abandoned, not destroyed.
        IoPool* pool = std::construct_at(
            reinterpret_cast<IoPool*>(slot_.data()), std::move(*started));
        pool_.store(pool, std::memory_order_release);
        return pool;
      }
    }
    settled_.store(true, std::memory_order_release);
    return nullptr;
  }

  static void prepare_fork() noexcept;
  static void parent_after_fork() noexcept;
  static void child_after_fork() noexcept;

  std::mutex mu_;                       // held across fork()
  std::atomic<IoPool*> pool_{nullptr};  // set under mu_
  std::atomic<bool> settled_{false};    // set under mu_: no pool, for good
  bool no_pool_read_ = false;           // guarded by mu_
  bool no_pool_ = false;                // guarded by mu_
  std::uint64_t workers_ = 0;           // guarded by mu_; 0 until read
  // Raw storage for the pool; guarded by mu_.
  alignas(IoPool) std::array<unsigned char, sizeof(IoPool)> slot_;
};

// A process-wide singleton whose workers outlive exit(): never destroyed.
// Its constructor is noexcept (a deleted destructor hides that from traits).
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables,cert-err58-cpp)
NoDestructor<ProcessPool> process_pool;

void ProcessPool::prepare_fork() noexcept { (*process_pool).mu_.lock(); }

void ProcessPool::parent_after_fork() noexcept { (*process_pool).mu_.unlock(); }

// Runs in the child's only thread, which holds mu_ from prepare_fork.
void ProcessPool::child_after_fork() noexcept {
  ProcessPool& p = *process_pool;
  p.pool_.store(nullptr, std::memory_order_relaxed);
  p.settled_.store(p.no_pool_, std::memory_order_relaxed);
  p.mu_.unlock();
}

}  // namespace

std::optional<std::uint64_t> process_pool_workers() {
  if (const IoPool* pool = (*process_pool).current()) return pool->workers();
  return std::nullopt;
}

std::uint64_t pooled_workers() {
  const IoPool* pool = (*process_pool).get();
  return pool == nullptr ? 0 : pool->workers();
}

Status run_jobs(std::vector<IoJob> jobs, IoJob* here) {
  if (jobs.empty()) return here != nullptr ? here->run() : ok();
  IoPool* pool = (*process_pool).get();
  if (pool == nullptr || jobs.size() > pool->workers()) {
    return run_on_threads(std::move(jobs), here);
  }
  return pool->run(std::move(jobs), here);
}

}  // namespace larkspur::io
