// S3-FIFO's queues, its index of held keys and its ghost, all in arrays
// laid out once: open addressing with linear probing, at most 3/4 full,
// deletion by backward shift (no tombstones).
#include "larkspur-io/src/cache/s3fifo.h"

#include <algorithm>
#include <cstring>

namespace larkspur::io {
namespace {

// Tables of at most 3/4 load for `n` entries.
std::uint32_t table_size(std::uint32_t n) {
  return static_cast<std::uint32_t>(std::uint64_t{n} * 4 / 3 + 1);
}

std::size_t align8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

std::uint32_t small_cap_of(std::uint32_t slots) {
  return std::max<std::uint32_t>(1, slots / 10);
}
std::uint32_t ghost_cap_of(std::uint32_t slots) {
  return std::max<std::uint32_t>(1, slots - small_cap_of(slots));
}

// x scaled into [0, n): the high half of the product.
std::uint32_t scale32(std::uint32_t x, std::uint32_t n) {
  return static_cast<std::uint32_t>((std::uint64_t{x} * n) >> 32);
}

// A nonzero fingerprint from other bits than the index uses.
std::uint32_t fingerprint(std::uint64_t key) {
  return static_cast<std::uint32_t>(S3Fifo::mix(key + 0x9E3779B97F4A7C15ULL) >>
                                    32) |
         1U;
}

// Whether a probe that started at `home` passes over `hole` before it
// reaches `at`, in a table that wraps round.
bool passes(std::uint32_t home, std::uint32_t hole, std::uint32_t at) {
  return at >= hole ? (home <= hole || home > at) : (home <= hole && home > at);
}

}  // namespace

std::size_t S3Fifo::bookkeeping_bytes(std::uint32_t slots) {
  const std::uint32_t ghost_cap = ghost_cap_of(slots);
  return align8(std::size_t{8} * slots) + align8(slots) +
         align8(std::size_t{8} * table_size(slots)) +
         align8(std::size_t{8} * table_size(ghost_cap)) +
         align8(std::size_t{4} * ghost_cap) +
         2 * align8(std::size_t{4} * slots);
}

S3Fifo::S3Fifo(std::uint32_t slots, std::span<std::byte> arrays)
    : slots_(slots),
      small_cap_(small_cap_of(slots)),
      ghost_cap_(ghost_cap_of(slots)),
      index_size_(table_size(slots)),
      ghost_size_(table_size(ghost_cap_)) {
  std::byte* at = arrays.data();
  const auto carve = [&at](std::size_t bytes) {
    std::byte* p = at;
    at += align8(bytes);
    return p;
  };
  // The arrays are plain integers the caller zeroed: their lifetime begins
  // with the storage.
  key_ = reinterpret_cast<std::uint64_t*>(carve(std::size_t{8} * slots_));
  count_ = reinterpret_cast<std::uint8_t*>(carve(slots_));
  index_ =
      reinterpret_cast<std::uint64_t*>(carve(std::size_t{8} * index_size_));
  ghost_ =
      reinterpret_cast<std::uint64_t*>(carve(std::size_t{8} * ghost_size_));
  ghost_fp_ =
      reinterpret_cast<std::uint32_t*>(carve(std::size_t{4} * ghost_cap_));
  small_.ring =
      reinterpret_cast<std::uint32_t*>(carve(std::size_t{4} * slots_));
  main_.ring = reinterpret_cast<std::uint32_t*>(carve(std::size_t{4} * slots_));
}

void S3Fifo::clear() {
  std::memset(index_, 0, std::size_t{8} * index_size_);
  std::memset(ghost_, 0, std::size_t{8} * ghost_size_);
  std::memset(ghost_fp_, 0, std::size_t{4} * ghost_cap_);
  small_.head = small_.size = 0;
  main_.head = main_.size = 0;
  used_ = 0;
  ghost_at_ = 0;
}

void S3Fifo::push(Queue& q, std::uint32_t slot) const {
  std::uint32_t at = q.head + q.size;
  if (at >= slots_) at -= slots_;
  q.ring[at] = slot;
  ++q.size;
}

std::uint32_t S3Fifo::pop(Queue& q) const {
  const std::uint32_t slot = q.ring[q.head];
  if (++q.head == slots_) q.head = 0;
  --q.size;
  return slot;
}

std::uint32_t S3Fifo::find(std::uint64_t key) const {
  const std::uint32_t t = tag(key);
  std::uint32_t at = home_of_tag(t);
  for (;;) {
    const std::uint64_t v = index_[at];
    if (v == 0) return kNone;
    if (static_cast<std::uint32_t>(v >> 32) == t) {
      const auto slot = static_cast<std::uint32_t>(v) - 1;
      if (key_[slot] == key) return slot;
    }
    if (++at == index_size_) at = 0;
  }
}

void S3Fifo::index_insert(std::uint64_t key, std::uint32_t slot) {
  const std::uint32_t t = tag(key);
  std::uint32_t at = home_of_tag(t);
  while (index_[at] != 0) {
    if (++at == index_size_) at = 0;
  }
  index_[at] = std::uint64_t{t} << 32 | (slot + 1);
}

void S3Fifo::index_erase(std::uint64_t key, std::uint32_t slot) {
  const std::uint64_t entry = std::uint64_t{tag(key)} << 32 | (slot + 1);
  std::uint32_t hole = home_of_tag(tag(key));
  while (index_[hole] != entry) {
    if (++hole == index_size_) hole = 0;
  }
  std::uint32_t at = hole;
  for (;;) {
    if (++at == index_size_) at = 0;
    const std::uint64_t v = index_[at];
    if (v == 0) break;
    if (passes(home_of_tag(static_cast<std::uint32_t>(v >> 32)), hole, at)) {
      index_[hole] = v;
      hole = at;
    }
  }
  index_[hole] = 0;
}

std::uint32_t S3Fifo::ghost_find(std::uint32_t fp) const {
  std::uint32_t at = scale32(fp, ghost_size_);
  for (;;) {
    const std::uint64_t v = ghost_[at];
    if (v == 0) return kNone;
    if (static_cast<std::uint32_t>(v >> 32) == fp) return at;
    if (++at == ghost_size_) at = 0;
  }
}

void S3Fifo::ghost_erase_at(std::uint32_t hole) {
  std::uint32_t at = hole;
  for (;;) {
    if (++at == ghost_size_) at = 0;
    const std::uint64_t v = ghost_[at];
    if (v == 0) break;
    if (passes(scale32(static_cast<std::uint32_t>(v >> 32), ghost_size_), hole,
               at)) {
      ghost_[hole] = v;
      hole = at;
    }
  }
  ghost_[hole] = 0;
}

bool S3Fifo::ghost_take(std::uint64_t key) {
  const std::uint32_t at = ghost_find(fingerprint(key));
  if (at == kNone) return false;
  ghost_erase_at(at);
  return true;
}

void S3Fifo::ghost_add(std::uint64_t key) {
  const std::uint32_t pos = ghost_at_;
  if (++ghost_at_ == ghost_cap_) ghost_at_ = 0;
  // The key this one displaces from the ring leaves the ghost, unless it
  // left already (found again) and its fingerprint is elsewhere now.
  if (const std::uint32_t old = ghost_fp_[pos]; old != 0) {
    const std::uint32_t at = ghost_find(old);
    if (at != kNone && static_cast<std::uint32_t>(ghost_[at]) == pos) {
      ghost_erase_at(at);
    }
  }
  const std::uint32_t fp = fingerprint(key);
  ghost_fp_[pos] = fp;
  const std::uint64_t entry = std::uint64_t{fp} << 32 | pos;
  std::uint32_t at = scale32(fp, ghost_size_);
  for (;;) {
    const std::uint64_t v = ghost_[at];
    // A fingerprint met again (another key's, or this key's) moves on.
    if (v == 0 || static_cast<std::uint32_t>(v >> 32) == fp) {
      ghost_[at] = entry;
      return;
    }
    if (++at == ghost_size_) at = 0;
  }
}

std::uint32_t S3Fifo::evict() {
  for (;;) {
    if (small_.size >= small_cap_ || main_.size == 0) {
      const std::uint32_t t = pop(small_);
      if (count_[t] != 0) {
        count_[t] = 0;
        push(main_, t);
        continue;
      }
      index_erase(key_[t], t);
      ghost_add(key_[t]);
      return t;
    }
    const std::uint32_t t = pop(main_);
    if (count_[t] != 0) {
      --count_[t];
      push(main_, t);
      continue;
    }
    index_erase(key_[t], t);
    return t;
  }
}

std::uint32_t S3Fifo::admit(std::uint64_t key, std::uint32_t uses,
                            bool& evicted) {
  std::uint32_t slot = 0;
  evicted = used_ == slots_;
  if (evicted) {
    slot = evict();
  } else {
    slot = used_++;
  }
  key_[slot] = key;
  count_[slot] = static_cast<std::uint8_t>(std::min<std::uint32_t>(uses, 3));
  push(ghost_take(key) ? main_ : small_, slot);
  index_insert(key, slot);
  return slot;
}

}  // namespace larkspur::io
