// Giving large working memory back to the system.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

namespace larkspur {

// Working memory above this is released after a call rather than kept.
inline constexpr std::size_t kLargeScratchBytes = std::size_t{16} << 20;

// Has the C allocator return the pages of freed memory to the system. It
// may keep freed blocks resident for reuse (those below its mapping
// threshold, which it raises as large blocks are freed). Costs a walk of
// its arenas: for after unusually large requests only.
void return_freed_memory();

// Bytes for a call's own use, left unset: for buffers every byte of which
// is written before it is read (zeroing megabytes costs as much as a read).
class ScratchBytes {
  // NOLINTNEXTLINE(*-avoid-c-arrays): an array of bytes left unset
  using Bytes = std::byte[];

 public:
  explicit ScratchBytes(std::size_t size)
      : bytes_(std::make_unique_for_overwrite<Bytes>(size)), size_(size) {}
  std::span<std::byte> span() const { return {bytes_.get(), size_}; }

 private:
  std::unique_ptr<Bytes> bytes_;
  std::size_t size_;
};

// Frees v's memory when it holds more than kLargeScratchBytes (assigning
// {} would only empty it, keeping its capacity); true when it did.
template <class T>
bool release_if_large(std::vector<T>& v) {
  if (v.capacity() * sizeof(T) <= kLargeScratchBytes) return false;
  std::vector<T>().swap(v);
  return true;
}

}  // namespace larkspur
