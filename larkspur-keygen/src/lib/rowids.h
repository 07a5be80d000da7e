// N-gram row ids: for every token, 8 hashed rows of the order-2 n-gram that
// ends at it and 8 of the order-3 n-gram, in the PLE_QWEN_V1 row space.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "larkspur-keygen/src/lib/ple_layout.h"

namespace larkspur::keygen {

// Row ids of one token: entries 0..7 are the order-2 heads (tables 0..7),
// entries 8..15 the order-3 heads (tables 8..15).
using RowIds = std::array<std::uint32_t, kTableCount>;

namespace internal_rowids {

inline constexpr const PleLayout& kLayout = kPleQwenV1Layout;

// Row id in table T of hash h. The divisor is a constant of the build, so
// the remainder compiles to multiplications rather than a division.
template <std::size_t T>
inline std::uint32_t table_row(std::uint64_t h) {
  constexpr std::uint64_t kModulus = kLayout.moduli[T];
  constexpr auto kOffset = static_cast<std::uint32_t>(kLayout.table_offsets[T]);
  return static_cast<std::uint32_t>(h % kModulus) + kOffset;
}

template <std::size_t... H>
inline void fill_rows(std::uint64_t h2, std::uint64_t h3, RowIds& out,
                      std::index_sequence<H...> /*heads*/) {
  ((out[H] = table_row<H>(h2)), ...);
  ((out[kHeadsPerOrder + H] = table_row<kHeadsPerOrder + H>(h3)), ...);
}

}  // namespace internal_rowids

// The row ids of `token` with context tokens `ctx1` (distance 1) and `ctx2`
// (distance 2).
inline void hash_rowids(std::uint32_t token, std::uint32_t ctx1,
                        std::uint32_t ctx2, RowIds& out) {
  constexpr const PleLayout& kLayout = internal_rowids::kLayout;
  const std::uint64_t h2 = (std::uint64_t{token} * kLayout.mult0) ^
                           (std::uint64_t{ctx1} * kLayout.mult1);
  const std::uint64_t h3 = h2 ^ (std::uint64_t{ctx2} * kLayout.mult2);
  internal_rowids::fill_rows(h2, h3, out,
                             std::make_index_sequence<kHeadsPerOrder>{});
}

// The n-gram context carried along a token sequence: the two tokens before
// the next position. A missing token (before the start of the sequence)
// counts as the pad token, and the pad token cuts the context: the
// distance-2 context is the pad token when either of the two preceding
// tokens is.
class NgramContext {
 public:
  static constexpr std::uint32_t kPad = kPleQwenV1Layout.pad_token;

  // A fresh sequence: no tokens precede the first one.
  NgramContext() = default;
  // The context after `history`; only its last two tokens matter.
  explicit NgramContext(std::span<const std::uint32_t> history) {
    const std::size_t keep = history.size() < 2 ? history.size() : 2;
    for (std::uint32_t token : history.last(keep)) advance(token);
  }

  // Writes the row ids of `token` at the next position to `out` and moves
  // past it.
  void next(std::uint32_t token, RowIds& out) {
    // prev2_ == kPad already yields kPad; only prev1_ needs the check.
    const std::uint32_t ctx2 = prev1_ == kPad ? kPad : prev2_;
    hash_rowids(token, prev1_, ctx2, out);
    advance(token);
  }

 private:
  void advance(std::uint32_t token) {
    prev2_ = prev1_;
    prev1_ = token;
  }

  std::uint32_t prev1_ = kPad;
  std::uint32_t prev2_ = kPad;
};

// The row ids of every element of `tokens`, which follow `history`.
std::vector<RowIds> generate_rowids(std::span<const std::uint32_t> history,
                                    std::span<const std::uint32_t> tokens);

// As generate_rowids, into the caller's `out`, which holds exactly
// tokens.size() elements.
void generate_rowids_into(std::span<const std::uint32_t> history,
                          std::span<const std::uint32_t> tokens,
                          std::span<RowIds> out);

}  // namespace larkspur::keygen
