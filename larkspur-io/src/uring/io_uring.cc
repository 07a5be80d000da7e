// IoUring: ring creation, read submission and completion reaping.
#include "larkspur-io/src/uring/io_uring.h"

#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace larkspur::io {

namespace {

// Maps `length` bytes of the ring at `offset`; the error number on failure.
Result<Mapping> map_ring(int fd, std::size_t length, long long offset) {
  void* addr = ::mmap(nullptr, length, PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_POPULATE, fd, offset);
  if (addr == MAP_FAILED) return Error::from_errno(errno);
  return Mapping(addr, length);
}

template <class T>
T* at(const Mapping& mapping, std::uint32_t offset) {
  return reinterpret_cast<T*>(mapping.bytes() + offset);
}

// Words shared with the kernel. Our own words (SQ tail, CQ head) are read
// relaxed; the kernel's (SQ head, CQ tail) with acquire so that what it wrote
// before moving them is visible; ours are stored with release so that an
// entry is complete, or a completion copied out, before the kernel sees the
// move.
// NOLINTNEXTLINE(readability-non-const-parameter): atomic_ref needs T&
std::uint32_t load_acquire(std::uint32_t* word) {
  return std::atomic_ref<std::uint32_t>(*word).load(std::memory_order_acquire);
}
// NOLINTNEXTLINE(readability-non-const-parameter): atomic_ref needs T&
std::uint32_t load_relaxed(std::uint32_t* word) {
  return std::atomic_ref<std::uint32_t>(*word).load(std::memory_order_relaxed);
}
// NOLINTNEXTLINE(readability-non-const-parameter): atomic_ref needs T&
void store_release(std::uint32_t* word, std::uint32_t value) {
  std::atomic_ref<std::uint32_t>(*word).store(value, std::memory_order_release);
}

}  // namespace

Result<IoUring> IoUring::create(std::uint32_t entries) {
  abi::io_uring_params params{};
  const long fd =
      ::syscall(abi::kSysIoUringSetup, static_cast<long>(entries), &params);
  if (fd < 0) return Error::from_errno(errno);

  // Every step below that fails returns early; the members already set up
  // are released by `ring`'s destructor (rings, entries, then descriptor).
  IoUring ring;
  ring.fd_ = UniqueFd(static_cast<int>(fd));

  Result<Mapping> sqes =
      map_ring(ring.fd_.get(), params.sq_entries * sizeof(abi::io_uring_sqe),
               abi::IORING_OFF_SQES);
  if (!sqes) return std::move(sqes).error();
  ring.sqes_ = std::move(*sqes);

  const std::size_t sq_len =
      params.sq_off.array + params.sq_entries * sizeof(std::uint32_t);
  const std::size_t cq_len =
      params.cq_off.cqes + params.cq_entries * sizeof(abi::io_uring_cqe);
  const bool single = (params.features & abi::IORING_FEAT_SINGLE_MMAP) != 0;

  Result<Mapping> sq_ring =
      map_ring(ring.fd_.get(), single ? std::max(sq_len, cq_len) : sq_len,
               abi::IORING_OFF_SQ_RING);
  if (!sq_ring) return std::move(sq_ring).error();
  ring.sq_ring_ = std::move(*sq_ring);
  if (!single) {
    Result<Mapping> cq_ring =
        map_ring(ring.fd_.get(), cq_len, abi::IORING_OFF_CQ_RING);
    if (!cq_ring) return std::move(cq_ring).error();
    ring.cq_ring_ = std::move(*cq_ring);
  }

  const Mapping& sq = ring.sq_ring_;
  const Mapping& cq = single ? ring.sq_ring_ : ring.cq_ring_;
  ring.sq_head_ = at<std::uint32_t>(sq, params.sq_off.head);
  ring.sq_tail_ = at<std::uint32_t>(sq, params.sq_off.tail);
  ring.sq_flags_ = at<std::uint32_t>(sq, params.sq_off.flags);
  ring.sq_mask_ = *at<std::uint32_t>(sq, params.sq_off.ring_mask);
  ring.sq_entries_ = *at<std::uint32_t>(sq, params.sq_off.ring_entries);
  ring.sqes_base_ = at<abi::io_uring_sqe>(ring.sqes_, 0);
  ring.cq_head_ = at<std::uint32_t>(cq, params.cq_off.head);
  ring.cq_tail_ = at<std::uint32_t>(cq, params.cq_off.tail);
  ring.cq_mask_ = *at<std::uint32_t>(cq, params.cq_off.ring_mask);
  ring.cqes_base_ = at<abi::io_uring_cqe>(cq, params.cq_off.cqes);

  // Submission slot k always names entry k; the array is never written again.
  if ((params.flags & abi::IORING_SETUP_NO_SQARRAY) == 0) {
    auto* array = at<std::uint32_t>(sq, params.sq_off.array);
    for (std::uint32_t i = 0; i < ring.sq_entries_; ++i) array[i] = i;
  }
  return ring;
}

Status IoUring::register_files(std::span<const int> fds) {
  if (::syscall(abi::kSysIoUringRegister, static_cast<long>(fd_.get()),
                static_cast<long>(abi::IORING_REGISTER_FILES), fds.data(),
                static_cast<long>(fds.size())) != 0) {
    return Error::from_errno(errno);
  }
  return ok();
}

Status IoUring::register_buffer(std::byte* base, std::size_t length) {
  const iovec vec{base, length};
  if (::syscall(abi::kSysIoUringRegister, static_cast<long>(fd_.get()),
                static_cast<long>(abi::IORING_REGISTER_BUFFERS), &vec,
                1L) != 0) {
    return Error::from_errno(errno);
  }
  return ok();
}

Status IoUring::push_read(const ReadRequest& request) {
  const std::uint32_t head = load_acquire(sq_head_);
  const std::uint32_t tail = load_relaxed(sq_tail_);
  if (tail - head >= sq_entries_) {
    return Error::os_text("submission queue is full");
  }
  // A whole-struct store: all 64 bytes, nothing left from the slot's last use.
  sqes_base_[tail & sq_mask_] = abi::io_uring_sqe{
      .opcode = request.fixed_buffer ? abi::IORING_OP_READ_FIXED
                                     : abi::IORING_OP_READ,
      .flags = request.fixed_file ? abi::IOSQE_FIXED_FILE : std::uint8_t{0},
      .ioprio = 0,
      .fd = request.fd,
      .off = request.offset,
      .addr = reinterpret_cast<std::uintptr_t>(request.buffer),
      .len = request.length,
      .rw_flags = 0,
      .user_data = request.tag,
      .buf_index = 0,
      .personality = 0,
      .splice_fd_in = 0,
      .addr3 = 0,
      .pad2 = 0,
  };
  store_release(sq_tail_, tail + 1);
  return ok();
}

Result<std::uint32_t> IoUring::submit_and_wait(std::uint32_t want) {
  const std::uint32_t to_submit = unsubmitted();
  std::uint32_t flags = 0;
  if (want > 0 || (load_relaxed(sq_flags_) & (abi::IORING_SQ_CQ_OVERFLOW |
                                              abi::IORING_SQ_TASKRUN)) != 0) {
    flags |= abi::IORING_ENTER_GETEVENTS;
  }
  const long n =
      ::syscall(abi::kSysIoUringEnter, static_cast<long>(fd_.get()),
                static_cast<long>(to_submit), static_cast<long>(want),
                static_cast<long>(flags), nullptr, abi::kEnterSigsetSize);
  if (n < 0) return Error::from_errno(errno);
  return static_cast<std::uint32_t>(n);
}

std::optional<Completion> IoUring::next_completion() {
  const std::uint32_t head = load_relaxed(cq_head_);
  const std::uint32_t tail = load_acquire(cq_tail_);
  if (head == tail) return std::nullopt;
  const abi::io_uring_cqe cqe = cqes_base_[head & cq_mask_];
  store_release(cq_head_, head + 1);
  return Completion{cqe.user_data, cqe.res};
}

std::uint32_t IoUring::unsubmitted() const {
  return load_relaxed(sq_tail_) - load_acquire(sq_head_);
}

void IoUring::discard_unsubmitted() {
  store_release(sq_tail_, load_acquire(sq_head_));
}

}  // namespace larkspur::io
