// Thread helpers of the worker pool: starting a named thread without
// throwing, joining on scope exit, and keeping the handles of a start.
#pragma once

#include <pthread.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "larkspur-core/src/base/result.h"

namespace larkspur::io {

inline constexpr std::size_t kStackSize = std::size_t{2} << 20;
inline constexpr std::size_t kMaxThreadName = 15;  // the kernel keeps 15 bytes

namespace internal_threads {

template <class F>
void* thread_main(void* arg) noexcept {
  const std::unique_ptr<F> fn(static_cast<F*>(arg));
  (*fn)();
  return nullptr;
}

// pthread_create with a kStackSize stack; an error number or 0.
int create_thread(pthread_t* tid, void* (*main)(void*), void* arg);

}  // namespace internal_threads

// Starts a thread with a 2 MiB stack running `fn`, which must not throw.
// Throws nothing: running out of memory for the thread's copy of `fn` is a
// failure to start it (ENOMEM), like any other. Pool creation relies on
// that: an exception half way would leave the started workers behind and
// have the pool made again by the next call.
template <class F>
Result<pthread_t> spawn(F fn) {
  static_assert(std::is_nothrow_move_constructible_v<F>);
  // Owned at once; the nothrow form reports exhaustion as nullptr.
  std::unique_ptr<F> boxed(new (std::nothrow) F(std::move(fn)));
  if (!boxed) return Error::from_errno(ENOMEM);
  pthread_t tid{};
  const int rc = internal_threads::create_thread(
      &tid, &internal_threads::thread_main<F>, boxed.get());
  if (rc != 0) return Error::from_errno(rc);
  static_cast<void>(boxed.release());  // the new thread owns it now
  return tid;
}

// "larkspur-io-{i}" cut to the 15 bytes the kernel keeps, built without
// allocating (see spawn).
std::array<char, kMaxThreadName + 1> worker_name(std::uint64_t i);

// A thread that is joined when its handle is destroyed.
class ScopedThread {
 public:
  explicit ScopedThread(pthread_t tid) : tid_(tid) {}
  ScopedThread(ScopedThread&& other) noexcept
      : tid_(other.tid_), joinable_(std::exchange(other.joinable_, false)) {}
  ScopedThread& operator=(ScopedThread&&) = delete;
  ScopedThread(const ScopedThread&) = delete;
  ScopedThread& operator=(const ScopedThread&) = delete;
  ~ScopedThread() {
    if (joinable_) ::pthread_join(tid_, nullptr);
  }

 private:
  pthread_t tid_;
  bool joinable_ = true;
};

// The handles of the workers a pool start has made so far, kept without
// throwing (see spawn): a start that fails must find every one of them.
class StartedThreads {
 public:
  // False, keeping what it holds, when memory runs out.
  bool add(pthread_t tid) noexcept;
  void detach_all() noexcept;
  void join_all() noexcept;

 private:
  // Grown with new (std::nothrow): a vector would throw.
  // NOLINTNEXTLINE(cppcoreguidelines-avoid-c-arrays,modernize-avoid-c-arrays)
  std::unique_ptr<pthread_t[]> tids_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace larkspur::io
