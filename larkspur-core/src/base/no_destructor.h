// NoDestructor: a process-wide object that is never destroyed.
#pragma once

#include <memory>
#include <utility>

namespace larkspur {

// Holds a T constructed in place and never runs its destructor, for
// singletons that threads may still use while exit() runs destructors
// (pool workers are never joined). Access with * and ->.
template <class T>
class NoDestructor {
 public:
  template <class... A>
  explicit NoDestructor(A&&... args)
      : value_(std::construct_at(reinterpret_cast<T*>(storage_),
                                 std::forward<A>(args)...)) {}
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;
  ~NoDestructor() = default;  // deliberately leaves the value alive

  T& operator*() { return *value_; }
  const T& operator*() const { return *value_; }
  T* operator->() { return value_; }
  const T* operator->() const { return value_; }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
  T* value_;
};

}  // namespace larkspur
