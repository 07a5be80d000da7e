// The PLE_QWEN_V1 table layout: 16 prime-sized hashed tables laid end to
// end, computed once at compile time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace larkspur::keygen {

inline constexpr std::size_t kTableCount = 16;
// Tables 0..7 hash the order-2 n-gram, tables 8..15 the order-3 n-gram.
inline constexpr std::size_t kHeadsPerOrder = 8;

// The value of `ple_spec` that names PLE_QWEN_V1, the only layout there is.
inline constexpr std::uint32_t kPleQwenV1 = 1;

// The row space of the hashed tables and the shard grid that covers it.
struct PleLayout {
  std::array<std::uint64_t, kTableCount> table_sizes;
  std::array<std::uint64_t, kTableCount> table_offsets;  // first row of each
  std::array<std::uint64_t, kTableCount> moduli;         // == table_sizes
  std::uint64_t mult0;                                   // current token
  std::uint64_t mult1;  // context token at distance 1
  std::uint64_t mult2;  // context token at distance 2
  std::uint64_t table_rows;
  std::uint64_t padded_rows;  // table_rows rounded up to a multiple of 128
  std::uint64_t rows_per_shard;
  std::uint64_t shards;
  std::uint32_t pad_token;
};

// Trial division: odd divisors from 3 while d * d <= n.
constexpr bool is_prime(std::uint64_t n) {
  if (n < 2) return false;
  if (n == 2) return true;
  if (n % 2 == 0) return false;
  if (n == 3 || n == 5 || n == 7) return true;
  for (std::uint64_t d = 3; d * d <= n; d += 2) {
    if (n % d == 0) return false;
  }
  return true;
}

// Builds PLE_QWEN_V1: table t is the (t+1)-th prime above 19,999,999.
constexpr PleLayout compute_ple_qwen_v1() {
  PleLayout layout{};
  std::uint64_t candidate = 20'000'000;
  for (std::size_t t = 0; t < kTableCount; ++t) {
    while (!is_prime(candidate)) ++candidate;
    layout.table_sizes[t] = candidate++;
  }
  std::uint64_t sum = 0;
  for (std::size_t t = 0; t < kTableCount; ++t) {
    layout.table_offsets[t] = sum;
    sum += layout.table_sizes[t];
  }
  layout.table_rows = sum;
  layout.padded_rows = (sum + 127) / 128 * 128;
  layout.moduli = layout.table_sizes;
  layout.mult0 = 0x158EEB0ED789;
  layout.mult1 = 0x124A0230FF35;
  layout.mult2 = 0x752F6EB3BA7;
  layout.rows_per_shard = 2'500'012;
  layout.shards = 128;
  layout.pad_token = 248'044;
  return layout;
}

inline constexpr PleLayout kPleQwenV1Layout = compute_ple_qwen_v1();

// The closure check: the shard grid must cover the padded table exactly.
static_assert(kPleQwenV1Layout.shards * kPleQwenV1Layout.rows_per_shard ==
                  kPleQwenV1Layout.padded_rows,
              "assertion `left == right` failed: "
              "P0: 分片网格与 padded 表必须闭合");
static_assert(kPleQwenV1Layout.table_sizes ==
              std::array<std::uint64_t, kTableCount>{
                  20000003, 20000023, 20000033, 20000047, 20000059, 20000063,
                  20000069, 20000077, 20000081, 20000093, 20000107, 20000147,
                  20000153, 20000159, 20000161, 20000171});
static_assert(kPleQwenV1Layout.table_offsets[0] == 0);
static_assert(kPleQwenV1Layout.table_offsets[8] == 160'000'374);
static_assert(kPleQwenV1Layout.table_offsets[15] +
                  kPleQwenV1Layout.table_sizes[15] ==
              kPleQwenV1Layout.table_rows);
static_assert(kPleQwenV1Layout.table_rows == 320'001'446);
static_assert(kPleQwenV1Layout.padded_rows == 320'001'536);
// Every row id, offset plus remainder, fits in 32 bits.
static_assert(kPleQwenV1Layout.table_rows <= UINT32_MAX);

// The PLE_QWEN_V1 layout; nothing is computed at run time.
constexpr const PleLayout& build_ple_layout() { return kPleQwenV1Layout; }

}  // namespace larkspur::keygen
