"""Reference models of the PLE_QWEN_V1 row ids, for tests and benchmarks.

`rowids` is the algorithm written out token by token, plain Python ints;
`numpy_rowids` is the same function as whole-array operations. Both give
what `rowids_for_seq_with_history(history, tokens, 1)` returns. numpy is
imported only by the function that needs it.
"""

from __future__ import annotations

import functools
from collections.abc import Iterable, Sequence
from typing import Any

# The pad token: no context reaches back across it, and a sequence without
# history starts after two of them.
PAD = 248_044
# Multipliers of the token, its predecessor and the one before that.
MULTS = (0x158EEB0ED789, 0x124A0230FF35, 0x752F6EB3BA7)
# Rows of the 16 tables; tables 0-7 are hashed on bigrams, 8-15 on trigrams.
TABLE_ROWS = (20000003, 20000023, 20000033, 20000047, 20000059, 20000063,
              20000069, 20000077, 20000081, 20000093, 20000107, 20000147,
              20000153, 20000159, 20000161, 20000171)
# The first row id of each table: the tables lie one after another.
TABLE_OFFSETS = tuple(sum(TABLE_ROWS[:t]) for t in range(16))
TOTAL_ROWS = sum(TABLE_ROWS)

_MASK = (1 << 64) - 1


def rowids(history: Iterable[int], tokens: Iterable[int]) -> list[list[int]]:
    """The 16 row ids of each token of `tokens`, read after `history`.

    The context at distance d of position p is the pad token when p < d or
    when a pad token lies in positions p - d to p - 1 of history + tokens.
    """
    history = list(history)
    seq = history + list(tokens)

    def context(p: int, d: int) -> int:
        if p < d or PAD in seq[p - d:p]:
            return PAD
        return seq[p - d]

    out = []
    for p in range(len(history), len(seq)):
        h2 = ((seq[p] * MULTS[0]) & _MASK) ^ ((context(p, 1) * MULTS[1]) & _MASK)
        h3 = h2 ^ ((context(p, 2) * MULTS[2]) & _MASK)
        out.append([(h2 if t < 8 else h3) % TABLE_ROWS[t] + TABLE_OFFSETS[t]
                    for t in range(16)])
    return out


def numpy_rowids(tokens: Sequence[int] | Any, history: Sequence[int] | Any = ()) -> Any:
    """The row ids of `tokens` after `history` as a uint64 array of shape
    (len(tokens), 16), one array operation per step over all tokens."""
    np, pad, mults, sizes, offsets = _numpy_constants()
    tokens = np.asarray(tokens, dtype=np.uint64).reshape(-1)
    # Only the last two history tokens can reach a token.
    seq = np.empty(len(tokens) + 2, dtype=np.uint64)
    seq[:2] = ([PAD, PAD] + [int(t) for t in list(history)[-2:]])[-2:]
    seq[2:] = tokens
    prev1, prev2 = seq[1:-1], seq[:-2]
    # A pad at distance 1 cuts distance 2 as well.
    ctx2 = np.where(prev1 == pad, pad, prev2)
    h2 = (tokens * mults[0]) ^ (prev1 * mults[1])
    h3 = h2 ^ (ctx2 * mults[2])
    rows = np.empty((len(tokens), 16), dtype=np.uint64)
    rows[:, :8] = h2[:, None] % sizes[:8] + offsets[:8]
    rows[:, 8:] = h3[:, None] % sizes[8:] + offsets[8:]
    return rows


@functools.cache
def _numpy_constants() -> tuple:
    import numpy as np

    return (np, np.uint64(PAD), tuple(np.uint64(m) for m in MULTS),
            np.array(TABLE_ROWS, dtype=np.uint64), np.array(TABLE_OFFSETS, dtype=np.uint64))
