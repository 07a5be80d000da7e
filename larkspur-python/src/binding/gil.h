// GilRelease: a scope during which the interpreter lock is released.
#pragma once

#include <Python.h>

namespace larkspur::py {

// Releases the interpreter lock for the scope's lifetime and takes it back
// on every exit path. Only plain C++ values may be used inside the scope.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;
  ~GilRelease() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

}  // namespace larkspur::py
