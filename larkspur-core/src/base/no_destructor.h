// NoDestructor: a process-wide object that is never destroyed.
#pragma once

#include <array>
#include <memory>
#include <utility>

namespace larkspur {

// Holds a T constructed in place and never runs its destructor, for
// singletons that threads may still use while exit() runs destructors
// (pool workers are never joined). Access with * and ->.
template <class T>
class NoDestructor {
 public:
  // storage_ is raw memory the value is constructed into, not zeroed first.
  template <class... A>
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init)
  explicit NoDestructor(A&&... args)
      : value_(std::construct_at(reinterpret_cast<T*>(storage_.data()),
                                 std::forward<A>(args)...)) {}
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;
  ~NoDestructor() = default;  // deliberately leaves the value alive

  T& operator*() { return *value_; }
  const T& operator*() const { return *value_; }
  T* operator->() { return value_; }
  const T* operator->() const { return value_; }

 private:
  alignas(T) std::array<unsigned char, sizeof(T)> storage_;
  T* value_;
};

}  // namespace larkspur
