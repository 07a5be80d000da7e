"""Tables inside safetensors checkpoints: telling a checkpoint from a table
directory, finding the name patterns that make a table, and copying one
into shard files.

The headers are read by the native reader (`larkspur.checkpoint_tensors`,
`larkspur.Table.from_safetensors`); this module only arranges what it says.
"""

from __future__ import annotations

import os
import re
from collections.abc import Callable
from dataclasses import dataclass

INDEX_NAME = "model.safetensors.index.json"
SUFFIX = ".safetensors"
_DIGITS = re.compile(r"\d+")


def is_checkpoint(path: str) -> bool:
    """Whether `path` is a safetensors file, or a directory holding a
    checkpoint (its index, or .safetensors files) rather than a table."""
    if os.path.isfile(path):
        return path.endswith(SUFFIX)
    if not os.path.isdir(path):
        return False
    try:
        names = os.listdir(path)
    except OSError:
        return False
    return INDEX_NAME in names or any(n.endswith(SUFFIX) for n in names)


@dataclass(frozen=True)
class Candidate:
    """A name pattern that makes a table, and the table's geometry."""
    pattern: str
    shards: int
    rows_per_shard: int
    width: int


def name_patterns(names: list[str]) -> list[tuple[str, int]]:
    """Patterns with "{i}" in place of one run of digits that name the
    tensors 0, 1, ..., n-1 (n >= 2) and no others: (pattern, n), the most
    shards first."""
    groups: dict[str, set[int]] = {}
    for name in names:
        for m in _DIGITS.finditer(name):
            pattern = name[:m.start()] + "{i}" + name[m.end():]
            # "07" is not what "{i}" makes of 7.
            if str(int(m.group())) == m.group():
                groups.setdefault(pattern, set()).add(int(m.group()))
    found = [(p, len(ids)) for p, ids in groups.items()
             if len(ids) >= 2 and ids == set(range(len(ids)))]
    return sorted(found, key=lambda pn: (-pn[1], pn[0]))


def table_candidates(path: str, names: list[str],
                     opener: Callable[..., object]) -> list[Candidate]:
    """The patterns of `names` that `opener` (Table.from_safetensors) accepts
    as a table, with its geometry, the most shards first."""
    out = []
    for pattern, _ in name_patterns(names):
        try:
            table = opener(path, pattern, queue_depth=0)
        except (ValueError, OSError):
            continue  # shapes that do not make rows, or shards that differ
        with table:
            out.append(Candidate(pattern, table.shards, table.rows_per_shard, table.width))
    return out


def format_shape(shape: tuple[int, ...]) -> str:
    return "[" + ", ".join(str(n) for n in shape) + "]"
