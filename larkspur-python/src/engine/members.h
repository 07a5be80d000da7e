// The classes and functions of larkspur._engine, each declared in its own
// file under engine/, the names its classes share, and what they share.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "larkspur-python/src/binding/tables.h"
#include "larkspur-python/src/engine/arrays.h"

namespace larkspur::py {

// Types report "larkspur" as their module: they are larkspur.Table and so on.
inline constexpr ModuleNames kEngineNames{"larkspur._engine", "larkspur"};

ClassRef table_class() noexcept;
ClassRef lookup_class() noexcept;
PyMethodDef* rowids_def();
PyMethodDef* checkpoint_tensors_def();

// Token arrays as the engine takes them: (T,) or (B, T) tokens with their
// history, (K,) or (B, K) tokens before them (only the last two count).
struct TokenBatch {
  IntArray tokens;
  IntArray history;
  bool batched = false;
  std::size_t sequences = 1;
  std::size_t steps = 0;  // tokens per sequence

  std::size_t rows() const { return sequences * steps * 16; }
};

// Reads `tokens` and `history` (None or absent: no history). False with
// an exception set (ValueError for shapes that do not fit).
bool read_tokens(PyObject* tokens, Obj history, TokenBatch& out);

// Writes the 16 row ids of every token of `batch` to `out` (rows() native
// 64-bit words, any alignment), sequence after sequence.
void write_rowids(const TokenBatch& batch, std::span<std::byte> out);

}  // namespace larkspur::py
