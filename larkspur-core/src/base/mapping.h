// Mapping owns one mmap region.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <utility>

namespace larkspur {

// Owns [addr, addr + length) from mmap and unmaps it once on destruction.
class Mapping {
 public:
  Mapping() = default;
  Mapping(void* addr, std::size_t length) : addr_(addr), length_(length) {}
  Mapping(Mapping&& other) noexcept
      : addr_(std::exchange(other.addr_, nullptr)),
        length_(std::exchange(other.length_, 0)) {}
  Mapping& operator=(Mapping&& other) noexcept {
    if (this != &other) {
      reset();
      addr_ = std::exchange(other.addr_, nullptr);
      length_ = std::exchange(other.length_, 0);
    }
    return *this;
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() { reset(); }

  void* get() const { return addr_; }
  std::byte* bytes() const { return static_cast<std::byte*>(addr_); }
  std::size_t size() const { return length_; }
  bool valid() const { return addr_ != nullptr; }
  // Gives the region up without unmapping it: for memory the kernel may
  // still write into.
  void leak() {
    addr_ = nullptr;
    length_ = 0;
  }
  void reset() {
    if (addr_ != nullptr) ::munmap(addr_, length_);
    addr_ = nullptr;
    length_ = 0;
  }

 private:
  void* addr_ = nullptr;
  std::size_t length_ = 0;
};

}  // namespace larkspur
