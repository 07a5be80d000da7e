// Routes, fault carrying and concurrency of the I/O worker pool.
#include "larkspur-io/src/pool/io_pool.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <latch>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "larkspur-core/src/base/fault.h"

namespace larkspur::io {
namespace {

std::string thread_name() {
  char name[32] = {};
  ::pthread_getname_np(::pthread_self(), name, sizeof name);
  return name;
}

bool is_worker_name(const std::string& name) {
  return name.rfind("larkspur-io-", 0) == 0;
}

// W of the process-wide pool, creating it with a one-job call if needed.
std::uint64_t process_workers() {
  std::vector<IoJob> one;
  one.emplace_back([] { return ok(); });
  EXPECT_TRUE(run_jobs(std::move(one)));
  const auto w = process_pool_workers();
  EXPECT_TRUE(w.has_value());
  return w.value_or(1);
}

// Runs `n` jobs that must all be running at once to get past a latch, and
// records the name of the thread each ran on.
struct Rendezvous {
  explicit Rendezvous(std::size_t n)
      : all_started(static_cast<std::ptrdiff_t>(n)) {}
  std::latch all_started;
  std::mutex mu;
  std::vector<std::string> names;  // guarded by mu

  std::vector<IoJob> jobs(std::size_t n) {
    std::vector<IoJob> out;
    for (std::size_t i = 0; i < n; ++i) {
      out.emplace_back([this] {
        {
          const std::lock_guard lock(mu);
          names.push_back(thread_name());
        }
        all_started.arrive_and_wait();
        return ok();
      });
    }
    return out;
  }
};

TEST(RunJobs, EmptyBatchSucceeds) { EXPECT_TRUE(run_jobs({})); }

TEST(RunJobs, BatchOfWorkerCountRunsConcurrentlyOnDistinctWorkers) {
  const std::uint64_t w = process_workers();
  EXPECT_GE(w, 32U);  // the default count on any machine, unless set
  Rendezvous r(w);
  ASSERT_TRUE(run_jobs(r.jobs(w)));
  ASSERT_EQ(r.names.size(), w);
  const std::set<std::string> distinct(r.names.begin(), r.names.end());
  EXPECT_EQ(distinct.size(), w);
  for (const std::string& name : r.names)
    EXPECT_TRUE(is_worker_name(name)) << name;
}

TEST(RunJobs, BatchLargerThanPoolGetsOneThreadPerJob) {
  const std::uint64_t w = process_workers();
  Rendezvous r(w + 1);
  ASSERT_TRUE(run_jobs(r.jobs(w + 1)));
  ASSERT_EQ(r.names.size(), w + 1);
  for (const std::string& name : r.names)
    EXPECT_FALSE(is_worker_name(name)) << name;
}

TEST(RunJobs, ConcurrentCallersEachWaitForTheirOwnJobs) {
  constexpr int kCallers = 8;
  constexpr int kJobs = 4;
  std::vector<std::thread> callers;
  std::atomic<int> mismatches{0};
  for (int c = 0; c < kCallers; ++c) {
    callers.emplace_back([&mismatches, c] {
      for (int round = 0; round < 20; ++round) {
        auto done = std::make_shared<std::atomic<int>>(0);
        std::vector<IoJob> jobs;
        for (int j = 0; j < kJobs; ++j) {
          jobs.emplace_back([done, c, j] {
            // Uneven durations, so callers' jobs interleave in the queue.
            std::this_thread::sleep_for(
                std::chrono::microseconds((c * 7 + j * 13) % 50));
            done->fetch_add(1);
            return ok();
          });
        }
        if (!run_jobs(std::move(jobs)) || done->load() != kJobs)
          mismatches.fetch_add(1);
      }
    });
  }
  for (std::thread& t : callers) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

// A batch in which one job faults, on either route.
struct FaultCase {
  const char* label;
  bool own_threads;  // W + 1 jobs instead of 4
  bool throws;       // a C++ exception instead of an Error
  const char* message;
};

class FaultingBatch : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultingBatch, OtherJobsRunAndTheCallFailsWithTheRouteMessage) {
  const FaultCase& c = GetParam();
  const std::uint64_t w = process_workers();
  const std::uint64_t n = c.own_threads ? w + 1 : 4;
  std::atomic<std::uint64_t> ran{0};
  std::vector<IoJob> jobs;
  for (std::uint64_t i = 0; i < n; ++i) {
    jobs.emplace_back([&ran, &c, i]() -> Status {
      if (i == 1) {
        if (c.throws) throw std::runtime_error("job threw");
        return fault("job failed");
      }
      ran.fetch_add(1);
      return ok();
    });
  }
  const Status s = run_jobs(std::move(jobs));
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().code(), ErrorCode::kFault);
  EXPECT_EQ(s.error().text(), c.message);
  EXPECT_EQ(ran.load(), n - 1);

  // The pool still has all its workers afterwards.
  Rendezvous r(w);
  ASSERT_TRUE(run_jobs(r.jobs(w)));
  for (const std::string& name : r.names) EXPECT_TRUE(is_worker_name(name));
}

INSTANTIATE_TEST_SUITE_P(
    Routes, FaultingBatch,
    ::testing::Values(
        FaultCase{"PooledError", false, false, "job failed"},
        FaultCase{"PooledThrow", false, true, "job threw"},
        FaultCase{"ThreadsError", true, false, "a scoped thread panicked"},
        FaultCase{"ThreadsThrow", true, true, "a scoped thread panicked"}),
    [](const auto& p) { return std::string(p.param.label); });

TEST(RunJobs, OutOfMemoryInsideAJobIsReportedAsSuch) {
  std::vector<IoJob> jobs;
  jobs.emplace_back([]() -> Status { throw std::bad_alloc(); });
  const Status s = run_jobs(std::move(jobs));
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().code(), ErrorCode::kNoMemory);
}

TEST(RunJobs, JobResourcesAreReleasedBeforeTheCallReturns) {
  auto held = std::make_shared<int>(0);
  std::vector<IoJob> jobs;
  for (int i = 0; i < 3; ++i) {
    jobs.emplace_back([held] { return ok(); });
  }
  ASSERT_TRUE(run_jobs(std::move(jobs)));
  EXPECT_EQ(held.use_count(), 1);
}

TEST(IoPool, SingleWorkerRunsJobsInQueueOrderAndKeepsTheFirstFault) {
  Result<IoPool> pool = IoPool::start(1);
  ASSERT_TRUE(pool);
  EXPECT_EQ(pool->workers(), 1U);
  std::vector<int> order;  // only the single worker touches it
  std::vector<IoJob> jobs;
  for (int i = 0; i < 5; ++i) {
    jobs.emplace_back([&order, i]() -> Status {
      order.push_back(i);
      if (i == 1) return fault("first");
      if (i == 3) return fault("second");
      return ok();
    });
  }
  const Status s = pool->run(std::move(jobs));
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().text(), "first");
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(IoPool, EveryBatchStillWakesAllTheWorkersItNeeds) {
  // Batches whose jobs can only finish together: a wake-up that got lost
  // between batches would hang here.
  Result<IoPool> pool = IoPool::start(3);
  ASSERT_TRUE(pool);
  for (std::size_t round = 0; round < 300; ++round) {
    Rendezvous r(round % 3 + 1);
    ASSERT_TRUE(pool->run(r.jobs(round % 3 + 1)));
  }
}

TEST(IoPool, ZeroWorkersStillMakesOne) {
  Result<IoPool> pool = IoPool::start(0);
  ASSERT_TRUE(pool);
  EXPECT_EQ(pool->workers(), 1U);
  std::vector<IoJob> jobs;
  jobs.emplace_back([] { return ok(); });
  EXPECT_TRUE(pool->run(std::move(jobs)));
}

// Runs `child` in a forked child and reports whether it returned true;
// a child that hangs is ended after a minute and counts as failed.
bool passes_in_forked_child(const std::function<bool()>& child) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(60);
    ::_exit(child() ? 0 : 1);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::size_t task_count() {
  std::size_t n = 0;
  if (FILE* f = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, f) != nullptr) {
      if (std::sscanf(line, "Threads: %zu", &n) == 1) break;
    }
    std::fclose(f);
  }
  return n;
}

// Whether a batch of `w` jobs that can only finish together ran on `w`
// distinct workers: a pool with fewer live workers would hang here.
bool full_pool_batch(std::uint64_t w) {
  Rendezvous r(w);
  if (!run_jobs(r.jobs(w)) || r.names.size() != w) return false;
  const std::set<std::string> distinct(r.names.begin(), r.names.end());
  return distinct.size() == w && is_worker_name(*distinct.begin());
}

// The address sanitizer's allocator does not hold its locks across fork():
// a child forked while another thread allocates (a worker just starting
// does) can hang in it.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kForkSafeAllocator = false;
#else
constexpr bool kForkSafeAllocator = true;
#endif

TEST(PoolFork, ChildMakesItsOwnPoolOnFirstUseAndTheParentKeepsItsOwn) {
  if (!kForkSafeAllocator)
    GTEST_SKIP() << "the address sanitizer's allocator is not fork-safe";
  const std::uint64_t w = process_workers();
  EXPECT_TRUE(passes_in_forked_child([w] {
    // The inherited pool's workers do not exist here.
    const bool none_before = !process_pool_workers().has_value();
    const bool batch = full_pool_batch(w);
    return none_before && batch && process_pool_workers() == w &&
           task_count() == w + 1;
  }));
  EXPECT_TRUE(full_pool_batch(w));
  EXPECT_EQ(process_pool_workers(), w);
}

TEST(PoolFork, ForkWhileOtherThreadsAreInsidePooledCalls) {
  if (!kForkSafeAllocator)
    GTEST_SKIP() << "the address sanitizer's allocator is not fork-safe";
  const std::uint64_t w = process_workers();
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  constexpr int kCallers = 4;
  std::latch finished(kCallers);
  // Detached: the thread sanitizer keeps a forking parent's joinable
  // threads as live in the child and then refuses new threads that reuse
  // their ids.
  for (int c = 0; c < kCallers; ++c) {
    std::thread([&stop, &failures, &finished] {
      while (!stop.load()) {
        std::vector<IoJob> jobs;
        for (int j = 0; j < 4; ++j) {
          jobs.emplace_back([] {
            std::this_thread::sleep_for(std::chrono::microseconds(20));
            return ok();
          });
        }
        if (!run_jobs(std::move(jobs))) failures.fetch_add(1);
      }
      finished.count_down();
    }).detach();
  }
  int children_ok = 0;
  for (int round = 0; round < 10; ++round) {
    children_ok += passes_in_forked_child([w] {
      // Both routes: the child's own pool and a thread per job.
      return full_pool_batch(w) && full_pool_batch(w) &&
             run_jobs(Rendezvous(w + 1).jobs(w + 1));
    });
  }
  stop.store(true);
  finished.wait();
  EXPECT_EQ(children_ok, 10);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(full_pool_batch(w));
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// With too little address space left for a thread stack, the route fails
// with the spawn message and runs nothing. Runs in a re-executed child
// ("threadsafe" style), where no cached stack of earlier threads exists.
void spawn_without_address_space() {
  std::atomic<int> ran{0};
  std::vector<IoJob> jobs;
  for (int i = 0; i < 3; ++i) {
    jobs.emplace_back([&ran] {
      ran.fetch_add(1);
      return ok();
    });
  }
  long pages = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  // Current size plus less than one 2 MiB stack.
  rlimit limit{};
  ::getrlimit(RLIMIT_AS, &limit);
  limit.rlim_cur = static_cast<rlim_t>(pages) * 4096 + (1U << 20);
  if (pages == 0 || ::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(2);
  const Status s = run_on_threads(std::move(jobs));
  const bool good =
      !s && s.error().code() == ErrorCode::kFault &&
      s.error().text().rfind("failed to spawn thread: ", 0) == 0 &&
      ran.load() == 0;
  std::fputs(s ? "ok" : s.error().text().c_str(), stderr);
  ::_exit(good ? 0 : 1);
}

TEST(RunOnThreads, SpawnFailureDropsTheJobsAndSaysSo) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(spawn_without_address_space(), ::testing::ExitedWithCode(0),
              "failed to spawn thread: ");
}
#endif

}  // namespace
}  // namespace larkspur::io
