// ScopeExit: runs a callable when the scope that holds it ends.
#pragma once

#include <utility>

namespace larkspur {

// Calls `f` once from its destructor, however the scope ends (a return or
// an exception). Lives in the one scope that made it: neither copied nor
// moved. `f` must not throw.
template <class F>
class [[nodiscard]] ScopeExit {
 public:
  explicit ScopeExit(F f) : f_(std::move(f)) {}
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;
  ~ScopeExit() { f_(); }

 private:
  F f_;
};

}  // namespace larkspur
