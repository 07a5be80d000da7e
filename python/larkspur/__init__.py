"""larkspur: n-gram rows of hashed tables on local disk, for inference hosts.

The engine API: `Table` opens a table directory once (or, with
`Table.from_safetensors`, the shard tensors of a model checkpoint, read in
place) and reads rows into your buffers (`gather` from row ids, `lookup`
straight from tokens), serving cached rows on the calling thread; `rowids`
turns tokens into row ids as a uint64 array; `checkpoint_tensors` lists a
checkpoint's tensors. The native module `_larkspur` keeps the lower-level calls
(`Store`, `View`, the page readers, the list-based row ids), re-exported
here; the package also holds the command line (`python -m larkspur`) and
numpy helpers (`larkspur.arrays`).
"""

import _larkspur
from _larkspur import (  # noqa: F401
    IoUringPageReader,
    PageReader,
    Store,
    View,
    abi_version,
    read_keys,
    rowids_for_seq,
    rowids_for_seq_with_history,
)

from ._engine import Lookup, Table, checkpoint_tensors, rowids  # noqa: F401

__all__ = ["Table", "Lookup", "rowids", "checkpoint_tensors", *_larkspur.__all__]
