// IoUring: one io_uring submission/completion ring pair, driven through the
// two system calls with no wrapper library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "larkspur-core/src/base/mapping.h"
#include "larkspur-core/src/base/result.h"
#include "larkspur-core/src/base/unique_fd.h"
#include "larkspur-io/src/uring/io_uring_abi.h"

namespace larkspur::io {

// One read request: `length` bytes from `fd` at `offset` into `buffer`,
// reported back with `tag`. The offset goes to the kernel unchanged. With
// `fixed_file`, `fd` is an index into the ring's registered files; with
// `fixed_buffer`, `buffer` lies inside the ring's registered buffer.
struct ReadRequest {
  int fd = -1;
  std::uint64_t offset = 0;
  std::byte* buffer = nullptr;
  std::uint32_t length = 0;
  std::uint64_t tag = 0;
  bool fixed_file = false;
  bool fixed_buffer = false;
};

// A finished request: its tag and the kernel's result (bytes transferred, or
// a negated error number).
struct Completion {
  std::uint64_t tag;
  std::int32_t res;
};

// Owns a ring descriptor and its two or three mappings; the mappings are
// released before the descriptor is closed. Move-only. A ring is used by one
// thread at a time and has no locks; the only sharing is with the kernel.
class IoUring {
 public:
  // A ring for at least `entries` submissions (the kernel may give more).
  // Fails with the system error of io_uring_setup or of the first mapping
  // that fails; nothing is left behind on failure.
  static Result<IoUring> create(std::uint32_t entries);

  IoUring(IoUring&&) noexcept = default;
  IoUring& operator=(IoUring&&) = delete;
  IoUring(const IoUring&) = delete;
  IoUring& operator=(const IoUring&) = delete;
  ~IoUring() = default;

  // Registers `fds` as the ring's files, read by index from then on
  // (ReadRequest::fixed_file): the kernel then need not look a descriptor up
  // for every read. Once per ring.
  Status register_files(std::span<const int> fds);
  // Registers [base, base + length) as the ring's buffer 0, pinned for the
  // ring's life (ReadRequest::fixed_buffer). Once per ring.
  Status register_buffer(std::byte* base, std::size_t length);

  // Queues one read and publishes it at once. Fails with "submission queue
  // is full" (the queue unchanged) when every slot holds an unsubmitted or
  // unconsumed entry.
  Status push_read(const ReadRequest& request);

  // Submits every queued entry and waits until at least `want` completions
  // are available. Returns the kernel's count of submitted entries. The
  // kernel may return early (a signal during the wait) with fewer
  // completions available.
  Result<std::uint32_t> submit_and_wait(std::uint32_t want);

  // Removes and returns the oldest completion, if any.
  std::optional<Completion> next_completion();

  // Entries queued but not yet taken by the kernel.
  std::uint32_t unsubmitted() const;

  // Withdraws every queued entry the kernel has not taken. Sound only
  // because the kernel reads the submission queue inside io_uring_enter
  // alone (no polling thread is ever set up).
  void discard_unsubmitted();

  // The submission queue's size as the kernel reports it.
  std::uint32_t sq_entries() const { return sq_entries_; }
  // Whether the kernel let both rings share one mapping.
  bool single_mmap() const { return !cq_ring_.valid(); }
  // 2 with a shared ring mapping, 3 without.
  std::size_t mapping_count() const { return single_mmap() ? 2 : 3; }

 private:
  IoUring() = default;

  // Declared first so that it is closed last, after every mapping.
  UniqueFd fd_;
  // Destroyed in reverse order: submission ring, entries, completion ring.
  Mapping cq_ring_;  // absent with IORING_FEAT_SINGLE_MMAP
  Mapping sqes_;
  Mapping sq_ring_;

  std::uint32_t* sq_head_ = nullptr;
  std::uint32_t* sq_tail_ = nullptr;
  std::uint32_t* sq_flags_ = nullptr;
  std::uint32_t sq_mask_ = 0;
  std::uint32_t sq_entries_ = 0;
  abi::io_uring_sqe* sqes_base_ = nullptr;

  std::uint32_t* cq_head_ = nullptr;
  std::uint32_t* cq_tail_ = nullptr;
  std::uint32_t cq_mask_ = 0;
  abi::io_uring_cqe* cqes_base_ = nullptr;
};

}  // namespace larkspur::io
