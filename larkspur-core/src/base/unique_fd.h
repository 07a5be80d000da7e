// UniqueFd owns a file descriptor; BorrowedFd names one it must never close.
#pragma once

#include <unistd.h>

#include <utility>

namespace larkspur {

// Owns one descriptor and closes it once on destruction. close() is never
// retried on EINTR: on Linux the descriptor is gone either way.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  [[nodiscard]] int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// A descriptor owned by someone else (the caller of a page reader).
class BorrowedFd {
 public:
  explicit BorrowedFd(int fd) : fd_(fd) {}
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace larkspur
