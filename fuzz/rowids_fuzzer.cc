// Row-id generation on arbitrary token sequences with history, against the
// literal algorithm: the joined sequence, its last-pad positions, the two
// context tokens of every position, then the two hashes and their 16
// remainders.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "larkspur-keygen/src/lib/rowids.h"

namespace {

using larkspur::keygen::RowIds;

constexpr std::uint32_t kPad = 248044;
constexpr std::uint64_t kMult0 = 0x158EEB0ED789;
constexpr std::uint64_t kMult1 = 0x124A0230FF35;
constexpr std::uint64_t kMult2 = 0x752F6EB3BA7;
constexpr std::array<std::uint64_t, 16> kSizes = {
    20000003, 20000023, 20000033, 20000047, 20000059, 20000063,
    20000069, 20000077, 20000081, 20000093, 20000107, 20000147,
    20000153, 20000159, 20000161, 20000171};

std::vector<RowIds> reference(const std::vector<std::uint32_t>& history,
                              const std::vector<std::uint32_t>& tokens) {
  std::array<std::uint64_t, 16> offsets{};
  for (std::size_t t = 1; t < 16; ++t) {
    offsets[t] = offsets[t - 1] + kSizes[t - 1];
  }
  std::vector<std::uint32_t> seq = history;
  seq.insert(seq.end(), tokens.begin(), tokens.end());
  const auto n = static_cast<std::int64_t>(seq.size());
  std::vector<std::int64_t> last_pad(seq.size());
  std::int64_t carry = -1;
  for (std::int64_t j = 0; j < n; ++j) {
    if (seq[static_cast<std::size_t>(j)] == kPad) carry = j;
    last_pad[static_cast<std::size_t>(j)] = carry;
  }
  auto ctx = [&](std::int64_t p, std::int64_t d) -> std::uint64_t {
    if (p < d) return kPad;
    if (last_pad[static_cast<std::size_t>(p - 1)] >= p - d) return kPad;
    return seq[static_cast<std::size_t>(p - d)];
  };
  std::vector<RowIds> out;
  for (auto p = static_cast<std::int64_t>(history.size()); p < n; ++p) {
    const std::uint64_t token = seq[static_cast<std::size_t>(p)];
    const std::uint64_t h2 = (token * kMult0) ^ (ctx(p, 1) * kMult1);
    const std::uint64_t h3 = h2 ^ (ctx(p, 2) * kMult2);
    RowIds ids{};
    for (std::size_t t = 0; t < 16; ++t) {
      const std::uint64_t h = t < 8 ? h2 : h3;
      ids[t] = static_cast<std::uint32_t>(h % kSizes[t]) +
               static_cast<std::uint32_t>(offsets[t]);
    }
    out.push_back(ids);
  }
  return out;
}

// Tokens drawn so that pads, their neighbours and the extremes are common.
std::uint32_t next_token(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
    case 1:
      return kPad;
    case 2:
      return 0;
    case 3:
      return UINT32_MAX;
    case 4:
      return kPad + 1;
    case 5:
      return in.ConsumeIntegralInRange<std::uint32_t>(0, 15);
    default:
      return in.ConsumeIntegral<std::uint32_t>();
  }
}

}  // namespace

// The entry point libFuzzer calls.
// NOLINTNEXTLINE(readability-identifier-naming)
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  FuzzedDataProvider in(data, size);
  const auto history_len = in.ConsumeIntegralInRange<std::size_t>(0, 6);
  std::vector<std::uint32_t> history;
  std::vector<std::uint32_t> tokens;
  for (std::size_t i = 0; i < history_len && in.remaining_bytes() > 0; ++i) {
    history.push_back(next_token(in));
  }
  while (in.remaining_bytes() > 0) tokens.push_back(next_token(in));

  const std::vector<RowIds> got =
      larkspur::keygen::generate_rowids(history, tokens);
  if (got != reference(history, tokens)) std::abort();

  // Carrying the tokens over as history, one step at a time, changes
  // nothing.
  if (!tokens.empty()) {
    const std::size_t cut = tokens.size() / 2;
    std::vector<std::uint32_t> longer = history;
    longer.insert(longer.end(), tokens.begin(),
                  tokens.begin() + static_cast<std::ptrdiff_t>(cut));
    const std::vector<std::uint32_t> rest(
        tokens.begin() + static_cast<std::ptrdiff_t>(cut), tokens.end());
    const std::vector<RowIds> tail =
        larkspur::keygen::generate_rowids(longer, rest);
    for (std::size_t i = 0; i < tail.size(); ++i) {
      if (tail[i] != got[cut + i]) std::abort();
    }
  }
  return 0;
}
