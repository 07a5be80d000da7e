#include "larkspur-keygen/src/lib/rowids.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace larkspur::keygen {
namespace {

constexpr std::uint32_t P = 248'044;

using Tokens = std::vector<std::uint32_t>;

// The algorithm written out step by step over the joined sequence: the
// last pad position of every prefix, then both contexts, then the hashes.
std::vector<RowIds> reference_rowids(const Tokens& history,
                                     const Tokens& tokens) {
  const PleLayout& layout = build_ple_layout();
  Tokens seq = history;
  seq.insert(seq.end(), tokens.begin(), tokens.end());
  const auto n = static_cast<std::int64_t>(seq.size());
  std::vector<std::int64_t> last_pad(seq.size());
  std::int64_t last = -1;
  for (std::int64_t j = 0; j < n; ++j) {
    if (seq[static_cast<std::size_t>(j)] == layout.pad_token) last = j;
    last_pad[static_cast<std::size_t>(j)] = last;
  }
  auto ctx = [&](std::int64_t p, std::int64_t d) -> std::uint64_t {
    if (p < d) return layout.pad_token;
    if (last_pad[static_cast<std::size_t>(p - 1)] >= p - d) {
      return layout.pad_token;
    }
    return seq[static_cast<std::size_t>(p - d)];
  };
  std::vector<RowIds> out;
  for (std::int64_t p = 0; p < n; ++p) {
    const std::uint64_t token = seq[static_cast<std::size_t>(p)];
    const std::uint64_t h2 =
        (token * layout.mult0) ^ (ctx(p, 1) * layout.mult1);
    const std::uint64_t h3 = h2 ^ (ctx(p, 2) * layout.mult2);
    RowIds row{};
    for (std::size_t t = 0; t < kTableCount; ++t) {
      const std::uint64_t h = t < kHeadsPerOrder ? h2 : h3;
      row[t] = static_cast<std::uint32_t>(h % layout.moduli[t]) +
               static_cast<std::uint32_t>(layout.table_offsets[t]);
    }
    if (p >= static_cast<std::int64_t>(history.size())) out.push_back(row);
  }
  return out;
}

const RowIds kToken1 = {16121432,  28938500,  59087997,  73487090,
                        81148277,  104500129, 120276032, 149373875,
                        176283436, 184305849, 216528839, 231080079,
                        257961536, 266068568, 289043455, 305959965};
const RowIds kToken2 = {15220011,  32170723,  40646129,  76511807,
                        98682440,  106072663, 127158041, 141938523,
                        170367010, 180520041, 210849650, 234005644,
                        252857364, 272068622, 291885712, 311569748};
const RowIds kToken3 = {14605717,  24410875,  49313567,  72177428,
                        86060820,  104022010, 130963819, 146886202,
                        161523077, 195939126, 219424565, 220811782,
                        248020141, 275228530, 284297999, 309645223};

TEST(GenerateRowids, FreshSequenceExample) {
  EXPECT_EQ(generate_rowids({}, Tokens{1, 2, 3}),
            (std::vector<RowIds>{kToken1, kToken2, kToken3}));
}

TEST(GenerateRowids, PadTokensCutTheContext) {
  const std::vector<RowIds> expected = {
      {2701124, 21500242, 55309614, 75581644, 88972381, 114376771, 133365251,
       146996157, 165401374, 190070589, 200378572, 238673325, 251103114,
       264494349, 289171909, 314161324},
      {16786187, 37399507, 51447157, 75303773, 99642929, 108554057, 122668943,
       142885423, 178075680, 189995935, 213432942, 234309713, 243139806,
       273195768, 283486804, 316984683},
      {8807125, 30450454, 51272170, 64422588, 81408710, 113737508, 122230591,
       146888097, 162512814, 189149098, 215375741, 226808975, 243902281,
       261355125, 280586077, 317339594},
      {15567690, 35687509, 55747620, 67831959, 83904455, 115928743, 123965091,
       148013673, 175547516, 184018783, 210568882, 232141543, 246377679,
       260613857, 298692860, 309086506},
  };
  EXPECT_EQ(generate_rowids(Tokens{1, P, 9}, Tokens{P, 4, 5, 6}), expected);
}

TEST(GenerateRowids, HistoryChangesOnlyTheContextItReaches) {
  const std::vector<RowIds> got = generate_rowids(Tokens{7}, Tokens{1, 2, 3});
  ASSERT_EQ(got.size(), 3U);
  EXPECT_EQ(got[2], kToken3);
  for (std::size_t t = 0; t < kTableCount; ++t) {
    if (t < kHeadsPerOrder) {
      EXPECT_EQ(got[1][t], kToken2[t]) << "entry " << t;
    } else {
      EXPECT_NE(got[1][t], kToken2[t]) << "entry " << t;
    }
    EXPECT_NE(got[0][t], kToken1[t]) << "entry " << t;
  }
}

// Random sequences drawn from a small alphabet that includes the pad token,
// so pads land next to each other, at the history boundary and at the ends.
TEST(GenerateRowids, MatchesReferenceOnRandomSequences) {
  std::mt19937_64 rng(20260101);
  const std::uint32_t alphabet[] = {0,       1,      2, P, P, 4'294'967'295U,
                                    248'043, 248'045};
  std::uniform_int_distribution<std::size_t> pick(0, std::size(alphabet));
  std::uniform_int_distribution<std::size_t> length(0, 12);
  auto draw = [&] {
    Tokens out(length(rng));
    for (std::uint32_t& t : out) {
      const std::size_t k = pick(rng);
      t = k < std::size(alphabet) ? alphabet[k]
                                  : static_cast<std::uint32_t>(rng());
    }
    return out;
  };
  for (int round = 0; round < 3000; ++round) {
    const Tokens history = draw();
    const Tokens tokens = draw();
    ASSERT_EQ(generate_rowids(history, tokens),
              reference_rowids(history, tokens))
        << "round " << round;
  }
}

// Splitting a sequence into steps, each carrying its predecessor as history,
// gives the same rows as one call over the whole sequence.
TEST(GenerateRowidsInto, StepwiseEqualsWhole) {
  const Tokens seq = {3, 1, 4, P, 1, 5, 9, 2, 6, P, P, 5, 3};
  const std::vector<RowIds> whole = generate_rowids({}, seq);
  const std::span<const std::uint32_t> all(seq);
  std::vector<RowIds> steps(seq.size());
  std::size_t begin = 0;
  for (std::size_t end : {0U, 1U, 4U, 5U, 9U, 13U}) {
    generate_rowids_into(all.first(begin), all.subspan(begin, end - begin),
                         std::span(steps).subspan(begin, end - begin));
    begin = end;
  }
  EXPECT_EQ(steps, whole);
}

}  // namespace
}  // namespace larkspur::keygen
