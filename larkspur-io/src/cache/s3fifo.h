// S3-FIFO: which rows a bounded cache keeps. Chosen by replaying a real
// token stream (bench/cache_sim.py): at 1% of the rows it touches it served
// 40.99% of row reads, against 39.31% for CLOCK, 38.78% for LRU and 33.98%
// for W-TinyLFU; the offline optimum is 52.61%.
//
// A new row enters a small FIFO (a tenth of the slots). A row seen again
// while there moves on to the main FIFO when it reaches the small queue's
// end; one never seen again leaves, and its key is remembered in a ghost
// of key fingerprints. A missed row whose key is still in the ghost goes
// straight to the main queue. The main queue is a FIFO with second chances:
// a row used since it last came round goes round again, its count (at most
// 3) less one.
//
// One S3Fifo is one shard of a cache: no locking of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace larkspur::io {

class S3Fifo {
 public:
  // The bytes of bookkeeping for `slots` slots: the memory `arrays` must
  // hold, 8-byte aligned.
  static std::size_t bookkeeping_bytes(std::uint32_t slots);

  // A policy over `slots` slots (at least 1), its arrays in `arrays`
  // (bookkeeping_bytes(slots) bytes, zeroed, 8-byte aligned, outliving it).
  S3Fifo(std::uint32_t slots, std::span<std::byte> arrays);

  static constexpr std::uint32_t kNone = 0xFFFFFFFF;

  // The slot holding `key`, or kNone.
  std::uint32_t find(std::uint64_t key) const;

  // Hints for a batch of finds, each a cache miss on a large cache: the
  // index cell where the search for `key` starts (safe without the
  // shard's lock: its address never changes), and then, under the lock,
  // the bookkeeping of the slot it names; that slot, or kNone.
  void prefetch_index(std::uint64_t key) const {
    __builtin_prefetch(&index_[home(key)]);
  }
  std::uint32_t prefetch_slot(std::uint64_t key) const {
    const std::uint64_t v = index_[home(key)];
    if (v == 0) return kNone;
    const auto slot = static_cast<std::uint32_t>(v) - 1;
    __builtin_prefetch(&key_[slot]);
    __builtin_prefetch(&count_[slot]);
    return slot;
  }
  // Counts a use of the row in `slot`.
  void touch(std::uint32_t slot) {
    if (count_[slot] < 3) ++count_[slot];
  }

  // Takes `key` (not held) in, with `uses` earlier uses counted (at most
  // 3 kept): the slot it now owns. When every slot is held, a row leaves
  // first; `evicted` is then set.
  std::uint32_t admit(std::uint64_t key, std::uint32_t uses, bool& evicted);

  // Forgets every row and the ghost.
  void clear();

  std::uint32_t slots() const { return slots_; }
  std::uint32_t held() const { return used_; }

  // The 64-bit mix keys are hashed with (also picks a cache's shard).
  static std::uint64_t mix(std::uint64_t key) {
    key ^= key >> 33;
    key *= 0xFF51AFD7ED558CCDULL;
    key ^= key >> 33;
    key *= 0xC4CEB9FE1A85EC53ULL;
    key ^= key >> 33;
    return key;
  }

 private:
  // The key's hash as the index keeps it, and where its search starts.
  static std::uint32_t tag(std::uint64_t key) {
    return static_cast<std::uint32_t>(mix(key) >> 32);
  }
  std::uint32_t home_of_tag(std::uint32_t t) const {
    return static_cast<std::uint32_t>((std::uint64_t{t} * index_size_) >> 32);
  }
  std::uint32_t home(std::uint64_t key) const { return home_of_tag(tag(key)); }

  // A FIFO of slot numbers in a ring of `slots_` entries.
  struct Queue {
    std::uint32_t* ring = nullptr;
    std::uint32_t head = 0;
    std::uint32_t size = 0;
  };
  void push(Queue& q, std::uint32_t slot) const;
  std::uint32_t pop(Queue& q) const;

  // The slot freed by one eviction.
  std::uint32_t evict();
  void index_insert(std::uint64_t key, std::uint32_t slot);
  // Takes out the cell of `key`, held in `slot`.
  void index_erase(std::uint64_t key, std::uint32_t slot);
  bool ghost_take(std::uint64_t key);
  void ghost_add(std::uint64_t key);
  void ghost_erase_at(std::uint32_t hole);
  std::uint32_t ghost_find(std::uint32_t fp) const;

  std::uint32_t slots_;
  std::uint32_t small_cap_;
  std::uint32_t ghost_cap_;
  std::uint32_t index_size_;
  std::uint32_t ghost_size_;

  std::uint64_t* key_;   // [slots_]
  std::uint8_t* count_;  // [slots_]
  // [index_size_]: tag << 32 | slot + 1, 0 empty. The tag finds a cell's
  // home and rules most keys out without reading key_.
  std::uint64_t* index_;
  // The ghost: the fingerprints of the last ghost_cap_ keys sent there, in
  // a ring, and a table of them (fingerprint << 32 | ring position) to find
  // them by; a key found there is taken out of the table.
  std::uint64_t* ghost_;     // [ghost_size_], 0 empty
  std::uint32_t* ghost_fp_;  // [ghost_cap_]
  Queue small_;
  Queue main_;
  // Slots handed out since clear(): once all are, an eviction frees the
  // one that admit() takes.
  std::uint32_t used_ = 0;
  std::uint32_t ghost_at_ = 0;  // where the next ghost key goes in ghost_fp_
};

}  // namespace larkspur::io
