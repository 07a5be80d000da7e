"""Zero-copy numpy views of the bytes the module returns."""

from __future__ import annotations

from typing import Any

import numpy as np


def as_rows(data: bytes, width: int, dtype: Any = np.uint8) -> np.ndarray:
    """A read-only view of `data` as an array of shape (rows, width / itemsize).

    `data` is what `Store.fetch`, `View.read_records` or one page of
    `read_pages` returned; nothing is copied.
    """
    dt = np.dtype(dtype)
    if width <= 0 or width % dt.itemsize:
        raise ValueError(f"width {width} is not a positive multiple of {dt} itemsize {dt.itemsize}")
    if len(data) % width:
        raise ValueError(f"{len(data)} bytes are not a whole number of {width}-byte rows")
    return np.frombuffer(data, dtype=dt).reshape(len(data) // width, width // dt.itemsize)


def pages_as_arrays(pages: list[bytes], dtype: Any = np.uint8) -> list[np.ndarray]:
    """Each page of `read_pages` as a 1-D view (pages may be short)."""
    dt = np.dtype(dtype)
    return [np.frombuffer(p, dtype=dt, count=len(p) // dt.itemsize) for p in pages]


def rowids_array(rowids_per_token: list[list[int]]) -> np.ndarray:
    """The result of `rowids_for_seq*` as a (tokens, 16) uint64 array."""
    return np.array(rowids_per_token, dtype=np.uint64).reshape(-1, 16)
