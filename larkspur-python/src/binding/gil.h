// GilRelease, a scope during which the interpreter lock is released, and
// blocking(), the way every call runs its system calls.
#pragma once

#include <Python.h>

#include <cxxabi.h>
#include <unistd.h>

#include <utility>

#include "larkspur-core/src/base/blocking.h"
#include "larkspur-core/src/base/result.h"

namespace larkspur::py {

// Takes the interpreter lock back for `state`.
inline void restore_thread(PyThreadState* state) noexcept {
  try {
    PyEval_RestoreThread(state);
  } catch (abi::__forced_unwind&) {
    // The interpreter is finalizing: it ends a thread that asks for the
    // lock back by unwinding it (pthread_exit), and that unwind cannot
    // cross this noexcept function or the entry wrappers above it. The
    // thread stays here instead, holding nothing, until the process exits
    // around it (newer interpreters park such threads themselves).
    while (true) ::pause();
  }
}

// Releases the interpreter lock for the scope's lifetime and takes it back
// on every exit path. Only plain C++ values may be used inside the scope.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;
  ~GilRelease() { restore_thread(state_); }

 private:
  PyThreadState* state_;
};

// Releases the interpreter lock when the call it is handed to is about to
// block, and takes it back at the scope's end: a call that never blocks
// (rows served from memory) keeps it, sparing two hand-overs.
class GilReleaseWhenBlocking final : public BlockingHook {
 public:
  GilReleaseWhenBlocking() = default;
  GilReleaseWhenBlocking(const GilReleaseWhenBlocking&) = delete;
  GilReleaseWhenBlocking& operator=(const GilReleaseWhenBlocking&) = delete;
  GilReleaseWhenBlocking(GilReleaseWhenBlocking&&) = delete;
  GilReleaseWhenBlocking& operator=(GilReleaseWhenBlocking&&) = delete;
  ~GilReleaseWhenBlocking() override {
    if (state_ != nullptr) restore_thread(state_);
  }
  void about_to_block() override {
    if (state_ == nullptr) state_ = PyEval_SaveThread();
  }

 private:
  PyThreadState* state_ = nullptr;
};

// Runs `fn` (plain C++, returning a Result) with the interpreter lock
// released, then runs the signal handlers that became due meanwhile. A
// handler that raises (KeyboardInterrupt) makes the call fail with its
// exception once `fn` is done, so nothing is left in flight and nothing
// partial is returned; otherwise `fn`'s result is returned.
template <class F>
auto blocking(F&& fn) -> decltype(fn()) {
  auto result = [&] {
    GilRelease released;
    return std::forward<F>(fn)();
  }();
  if (PyErr_CheckSignals() < 0) return Error::raised();
  return result;
}

// As blocking(), but `fn` (taking a BlockingHook&) releases the lock only
// once it is about to block.
template <class F>
auto blocking_when_needed(F&& fn)
    -> decltype(fn(std::declval<BlockingHook&>())) {
  auto result = [&] {
    GilReleaseWhenBlocking hook;
    return std::forward<F>(fn)(hook);
  }();
  if (PyErr_CheckSignals() < 0) return Error::raised();
  return result;
}

}  // namespace larkspur::py
