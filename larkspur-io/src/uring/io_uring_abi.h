// The Linux io_uring kernel interface (x86-64): the structures and constants
// IoUring uses, spelled as the kernel spells them. This is the only file that
// names them; every layout is pinned by static_assert so a wrong field fails
// the build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace larkspur::io::abi {

// System call numbers.
inline constexpr long kSysIoUringSetup = 425;
inline constexpr long kSysIoUringEnter = 426;
inline constexpr long kSysIoUringRegister = 427;

// io_uring_register opcodes.
inline constexpr unsigned IORING_REGISTER_BUFFERS = 0;
inline constexpr unsigned IORING_REGISTER_FILES = 2;

// mmap offsets of the three ring regions.
inline constexpr long long IORING_OFF_SQ_RING = 0;
inline constexpr long long IORING_OFF_CQ_RING = 0x8000000;
inline constexpr long long IORING_OFF_SQES = 0x10000000;

// io_uring_params.features: one mapping serves both rings.
inline constexpr std::uint32_t IORING_FEAT_SINGLE_MMAP = 1U << 0;
// io_uring_params.flags: the submission ring has no index array.
inline constexpr std::uint32_t IORING_SETUP_NO_SQARRAY = 1U << 16;

// Bits of the submission ring's flags word.
inline constexpr std::uint32_t IORING_SQ_CQ_OVERFLOW = 1U << 1;
inline constexpr std::uint32_t IORING_SQ_TASKRUN = 1U << 2;

// io_uring_enter flags.
inline constexpr std::uint32_t IORING_ENTER_GETEVENTS = 1U << 0;

// Opcodes.
inline constexpr std::uint8_t IORING_OP_READ_FIXED = 4;
inline constexpr std::uint8_t IORING_OP_READ = 22;

// io_uring_sqe.flags: `fd` is an index into the registered files.
inline constexpr std::uint8_t IOSQE_FIXED_FILE = 1U << 0;

// The signal-mask size passed to io_uring_enter; the kernel ignores it when
// no mask is given, which is always the case here.
inline constexpr std::size_t kEnterSigsetSize = 128;

struct io_sqring_offsets {
  std::uint32_t head;
  std::uint32_t tail;
  std::uint32_t ring_mask;
  std::uint32_t ring_entries;
  std::uint32_t flags;
  std::uint32_t dropped;
  std::uint32_t array;
  std::uint32_t resv1;
  std::uint64_t user_addr;
};

struct io_cqring_offsets {
  std::uint32_t head;
  std::uint32_t tail;
  std::uint32_t ring_mask;
  std::uint32_t ring_entries;
  std::uint32_t overflow;
  std::uint32_t cqes;
  std::uint32_t flags;
  std::uint32_t resv1;
  std::uint64_t user_addr;
};

struct io_uring_params {
  std::uint32_t sq_entries;
  std::uint32_t cq_entries;
  std::uint32_t flags;
  std::uint32_t sq_thread_cpu;
  std::uint32_t sq_thread_idle;
  std::uint32_t features;
  std::uint32_t wq_fd;
  // NOLINTNEXTLINE(cppcoreguidelines-avoid-c-arrays,modernize-avoid-c-arrays)
  std::uint32_t resv[3];  // the kernel's layout
  io_sqring_offsets sq_off;
  io_cqring_offsets cq_off;
};

// One submission entry. The kernel's unions are flattened to the members a
// read request uses; the widths and offsets are the kernel's.
struct io_uring_sqe {
  std::uint8_t opcode;
  std::uint8_t flags;
  std::uint16_t ioprio;
  std::int32_t fd;
  std::uint64_t off;
  std::uint64_t addr;
  std::uint32_t len;
  std::uint32_t rw_flags;
  std::uint64_t user_data;
  std::uint16_t buf_index;
  std::uint16_t personality;
  std::int32_t splice_fd_in;
  std::uint64_t addr3;
  std::uint64_t pad2;
};

struct io_uring_cqe {
  std::uint64_t user_data;
  std::int32_t res;
  std::uint32_t flags;
};

static_assert(sizeof(io_sqring_offsets) == 40);
static_assert(offsetof(io_sqring_offsets, head) == 0);
static_assert(offsetof(io_sqring_offsets, tail) == 4);
static_assert(offsetof(io_sqring_offsets, ring_mask) == 8);
static_assert(offsetof(io_sqring_offsets, ring_entries) == 12);
static_assert(offsetof(io_sqring_offsets, flags) == 16);
static_assert(offsetof(io_sqring_offsets, dropped) == 20);
static_assert(offsetof(io_sqring_offsets, array) == 24);
static_assert(offsetof(io_sqring_offsets, resv1) == 28);
static_assert(offsetof(io_sqring_offsets, user_addr) == 32);

static_assert(sizeof(io_cqring_offsets) == 40);
static_assert(offsetof(io_cqring_offsets, head) == 0);
static_assert(offsetof(io_cqring_offsets, tail) == 4);
static_assert(offsetof(io_cqring_offsets, ring_mask) == 8);
static_assert(offsetof(io_cqring_offsets, ring_entries) == 12);
static_assert(offsetof(io_cqring_offsets, overflow) == 16);
static_assert(offsetof(io_cqring_offsets, cqes) == 20);
static_assert(offsetof(io_cqring_offsets, flags) == 24);
static_assert(offsetof(io_cqring_offsets, resv1) == 28);
static_assert(offsetof(io_cqring_offsets, user_addr) == 32);

static_assert(sizeof(io_uring_params) == 120);
static_assert(offsetof(io_uring_params, sq_entries) == 0);
static_assert(offsetof(io_uring_params, cq_entries) == 4);
static_assert(offsetof(io_uring_params, flags) == 8);
static_assert(offsetof(io_uring_params, sq_thread_cpu) == 12);
static_assert(offsetof(io_uring_params, sq_thread_idle) == 16);
static_assert(offsetof(io_uring_params, features) == 20);
static_assert(offsetof(io_uring_params, wq_fd) == 24);
static_assert(offsetof(io_uring_params, resv) == 28);
static_assert(offsetof(io_uring_params, sq_off) == 40);
static_assert(offsetof(io_uring_params, cq_off) == 80);

static_assert(sizeof(io_uring_sqe) == 64);
static_assert(offsetof(io_uring_sqe, opcode) == 0);
static_assert(offsetof(io_uring_sqe, flags) == 1);
static_assert(offsetof(io_uring_sqe, ioprio) == 2);
static_assert(offsetof(io_uring_sqe, fd) == 4);
static_assert(offsetof(io_uring_sqe, off) == 8);
static_assert(offsetof(io_uring_sqe, addr) == 16);
static_assert(offsetof(io_uring_sqe, len) == 24);
static_assert(offsetof(io_uring_sqe, rw_flags) == 28);
static_assert(offsetof(io_uring_sqe, user_data) == 32);
static_assert(offsetof(io_uring_sqe, buf_index) == 40);
static_assert(offsetof(io_uring_sqe, personality) == 42);
static_assert(offsetof(io_uring_sqe, splice_fd_in) == 44);
static_assert(offsetof(io_uring_sqe, addr3) == 48);
static_assert(offsetof(io_uring_sqe, pad2) == 56);
// No padding: assigning a whole entry writes every one of its 64 bytes.
static_assert(std::has_unique_object_representations_v<io_uring_sqe>);

static_assert(sizeof(io_uring_cqe) == 16);
static_assert(offsetof(io_uring_cqe, user_data) == 0);
static_assert(offsetof(io_uring_cqe, res) == 8);
static_assert(offsetof(io_uring_cqe, flags) == 12);

}  // namespace larkspur::io::abi
