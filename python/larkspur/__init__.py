"""larkspur: row ids, row fetch, record views and page reads for n-gram tables.

The native module `_larkspur` does the work; this package adds the command
line (`python -m larkspur`) and numpy helpers (`larkspur.arrays`).
"""

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

__all__ = [
    "Store",
    "View",
    "PageReader",
    "IoUringPageReader",
    "read_keys",
    "abi_version",
    "rowids_for_seq",
    "rowids_for_seq_with_history",
]
