// this_process: getpid() once per process, refreshed in every forked child.
#include "larkspur-core/src/base/process.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace larkspur {
namespace {

// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
std::atomic<pid_t> cached_pid{0};

void on_fork_child() {
  cached_pid.store(::getpid(), std::memory_order_relaxed);
}

}  // namespace

pid_t this_process() {
  pid_t pid = cached_pid.load(std::memory_order_relaxed);
  if (pid == 0) {
    // Registered before the first id is kept: a fork after this call
    // refreshes it.
    static const int kRegistered =
        ::pthread_atfork(nullptr, nullptr, &on_fork_child);
    static_cast<void>(kRegistered);
    pid = ::getpid();
    cached_pid.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

}  // namespace larkspur
