// larkspur.rowids: the 16 row ids of each token into a uint64 array.
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "larkspur-keygen/src/lib/rowids.h"
#include "larkspur-python/src/engine/members.h"

namespace larkspur::py {

bool read_tokens(PyObject* tokens, Obj history, TokenBatch& out) {
  constexpr std::uint64_t kMaxToken = std::numeric_limits<std::uint32_t>::max();
  if (!read_ints(tokens, "tokens", kMaxToken, out.tokens)) return false;
  const std::vector<std::size_t>& shape = out.tokens.shape;
  if (shape.size() != 1 && shape.size() != 2) {
    PyErr_Format(PyExc_ValueError,
                 "tokens must be 1-D (T,) or 2-D (B, T), not %zu-D",
                 shape.size());
    return false;
  }
  out.batched = shape.size() == 2;
  out.sequences = out.batched ? shape[0] : 1;
  out.steps = shape.back();
  if (history.is_none()) return true;
  if (!read_ints(history.ptr, "history", kMaxToken, out.history)) return false;
  const std::vector<std::size_t>& past = out.history.shape;
  if (past.size() != shape.size() || (out.batched && past[0] != shape[0])) {
    if (out.batched) {
      PyErr_Format(PyExc_ValueError,
                   "history of (B, T) tokens must be (B, K) with B = %zu",
                   shape[0]);
    } else {
      PyErr_SetString(PyExc_ValueError,
                      "history of (T,) tokens must be 1-D (K,)");
    }
    return false;
  }
  return true;
}

void write_rowids(const TokenBatch& batch, std::span<std::byte> out) {
  const std::size_t steps = batch.steps;
  const std::size_t past =
      batch.history.values.empty() ? 0 : batch.history.shape.back();
  std::vector<std::uint32_t> context;
  keygen::RowIds row;
  for (std::size_t b = 0; b < batch.sequences; ++b) {
    context.clear();
    for (std::size_t k = past >= 2 ? past - 2 : 0; k < past; ++k) {
      context.push_back(
          static_cast<std::uint32_t>(batch.history.values[b * past + k]));
    }
    keygen::NgramContext ngrams(context);
    const std::uint64_t* tokens = batch.tokens.values.data() + b * steps;
    // The buffer need not be aligned for 64-bit words: whole rows are
    // copied in.
    std::array<std::uint64_t, keygen::kTableCount> wide{};
    std::byte* dst = out.data() + b * steps * sizeof wide;
    for (std::size_t t = 0; t < steps; ++t) {
      ngrams.next(static_cast<std::uint32_t>(tokens[t]), row);
      for (std::size_t h = 0; h < keygen::kTableCount; ++h) wide[h] = row[h];
      std::memcpy(dst, wide.data(), sizeof wide);
      dst += sizeof wide;
    }
  }
}

namespace {

Result<PyRef> rowids(Obj tokens, Obj history, Obj out) {
  TokenBatch batch;
  if (!read_tokens(tokens.ptr, history, batch)) return Error::raised();
  HeldBuffer held;
  PyRef result;
  const std::size_t bytes = batch.rows() * sizeof(std::uint64_t);
  if (!out.is_none()) {
    if (!writable_bytes(out.ptr, "out", bytes, true, held)) {
      return Error::raised();
    }
    // Tokens read in place from out's own memory (a view of it) would be
    // overwritten by the ids before they are read.
    const std::span<const std::byte> into{
        static_cast<const std::byte*>(held.view().buf), bytes};
    keep_apart(batch.tokens, into);
    keep_apart(batch.history, into);
    result = PyRef::borrow(out.ptr);
  } else {
    std::vector<std::size_t> shape;
    if (batch.batched) shape.push_back(batch.sequences);
    shape.push_back(batch.steps);
    shape.push_back(keygen::kTableCount);
    result = new_array(shape, "uint64", held);
    if (!result) return Error::raised();
  }
  write_rowids(batch, {static_cast<std::byte*>(held.view().buf), bytes});
  return result;
}

constexpr auto kRowids = function<&rowids>(
    "rowids", {"tokens", opt("history", "None"), opt("out", "None")},
    "The 16 n-gram row ids of every token, as rowids_for_seq_with_history\n"
    "gives them: a uint64 array of shape (T, 16) for tokens of shape (T,),\n"
    "or (B, T, 16) for (B, T) tokens with a (B, K) history (the last two\n"
    "tokens of each sequence before these; None for none). Tokens come as\n"
    "any integer array (numpy, array, a tensor through numpy() or DLPack)\n"
    "or a sequence of ints. With `out` (a writable C-contiguous buffer of\n"
    "64-bit integers and the right size) the ids are written there and\n"
    "`out` is returned.");

}  // namespace

PyMethodDef* rowids_def() { return function_def<kRowids>(); }

}  // namespace larkspur::py
