// Starting named threads and keeping their handles.
#include "larkspur-io/src/pool/threads.h"

#include <algorithm>
#include <charconv>
#include <string_view>

namespace larkspur::io {

namespace internal_threads {

int create_thread(pthread_t* tid, void* (*main)(void*), void* arg) {
  pthread_attr_t attr;
  int rc = ::pthread_attr_init(&attr);
  if (rc != 0) return rc;
  rc = ::pthread_attr_setstacksize(&attr, kStackSize);
  if (rc == 0) rc = ::pthread_create(tid, &attr, main, arg);
  ::pthread_attr_destroy(&attr);
  return rc;
}

}  // namespace internal_threads

std::array<char, kMaxThreadName + 1> worker_name(std::uint64_t i) {
  constexpr std::string_view kPrefix = "larkspur-io-";
  std::array<char, kPrefix.size() + 20> full{};
  char* end = std::copy(kPrefix.begin(), kPrefix.end(), full.begin());
  end = std::to_chars(end, full.end(), i).ptr;
  std::array<char, kMaxThreadName + 1> name{};
  const auto size = static_cast<std::size_t>(end - full.begin());
  std::copy_n(full.begin(), std::min(size, kMaxThreadName), name.begin());
  return name;
}

bool StartedThreads::add(pthread_t tid) noexcept {
  if (size_ == capacity_) {
    const std::size_t grown = std::max<std::size_t>(16, 2 * capacity_);
    // nothrow: a failure returns false rather than throwing.
    // NOLINTNEXTLINE(cppcoreguidelines-avoid-c-arrays,modernize-avoid-c-arrays)
    std::unique_ptr<pthread_t[]> bigger(new (std::nothrow) pthread_t[grown]);
    if (!bigger) return false;
    std::copy_n(tids_.get(), size_, bigger.get());
    tids_ = std::move(bigger);
    capacity_ = grown;
  }
  tids_[size_++] = tid;
  return true;
}

void StartedThreads::detach_all() noexcept {
  for (std::size_t i = 0; i < size_; ++i) ::pthread_detach(tids_[i]);
  size_ = 0;
}

void StartedThreads::join_all() noexcept {
  for (std::size_t i = 0; i < size_; ++i) ::pthread_join(tids_[i], nullptr);
  size_ = 0;
}

}  // namespace larkspur::io
