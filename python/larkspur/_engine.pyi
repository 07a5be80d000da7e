"""Type stubs of larkspur._engine, the engine API's native module."""

import os
from collections.abc import Generator, Sequence
from types import TracebackType
from typing import Any, SupportsIndex, TypedDict, final

import numpy as np
import numpy.typing as npt

__all__ = ["Table", "Lookup", "rowids", "checkpoint_tensors"]

_Ints = npt.ArrayLike | Sequence[SupportsIndex]

class _Latency(TypedDict):
    calls: int
    p50_us: float
    p90_us: float
    p99_us: float
    max_us: float

class _CacheStats(TypedDict):
    budget_bytes: int
    capacity_rows: int
    rows_held: int
    bytes_held: int
    hits: int
    misses: int
    admissions: int
    evictions: int
    hit_rate: float
    hit_rate_heads_0_7: float
    hit_rate_heads_8_15: float

class _Stats(TypedDict):
    calls: int
    rows_requested: int
    unique_rows: int
    rows_inline: int
    rows_by_workers: int
    bytes_read: int
    read_calls: int
    errors: int
    backend: str
    backend_reason: str
    latency: dict[str, _Latency]
    cache: _CacheStats

@final
class Table:
    def __new__(
        cls,
        path: str,
        *,
        shards: SupportsIndex | None = None,
        rows_per_shard: SupportsIndex | None = None,
        width: SupportsIndex | None = None,
        queue_depth: SupportsIndex | None = None,
        direct: bool | str | None = None,
        cache_bytes: SupportsIndex | str | None = None,
    ) -> Table: ...
    @classmethod
    def from_safetensors(
        cls,
        path: str | os.PathLike[str],
        tensors: str | Sequence[str],
        *,
        width: SupportsIndex | None = None,
        queue_depth: SupportsIndex | None = None,
        direct: bool | str | None = None,
        cache_bytes: SupportsIndex | str | None = None,
    ) -> Table: ...
    def gather(self, rowids: _Ints | Any, out: Any = None) -> Any: ...
    def lookup(self, tokens: _Ints | Any, history: _Ints | Any = None, out: Any = None) -> Any: ...
    def submit(
        self,
        tokens: _Ints | Any = None,
        *,
        rowids: _Ints | Any = None,
        history: _Ints | Any = None,
        out: Any = None,
    ) -> Lookup: ...
    def prefetch(
        self,
        tokens: _Ints | Any = None,
        *,
        rowids: _Ints | Any = None,
        history: _Ints | Any = None,
    ) -> int: ...
    def stats(self, reset: object = False) -> _Stats: ...
    def refresh(self) -> bool: ...
    def close(self) -> None: ...
    def __enter__(self) -> Table: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...
    @property
    def shards(self) -> int: ...
    @property
    def rows_per_shard(self) -> int: ...
    @property
    def width(self) -> int: ...
    @property
    def total_rows(self) -> int: ...
    @property
    def path(self) -> str: ...
    @property
    def backend(self) -> str: ...
    @property
    def direct(self) -> bool: ...
    @property
    def cache_bytes(self) -> int: ...

@final
class Lookup:
    def __new__(cls) -> Lookup: ...
    def done(self) -> bool: ...
    def wait(self, timeout: float | None = None) -> bool: ...
    def result(self) -> Any: ...
    def exception(self) -> BaseException | None: ...
    def cancel(self) -> bool: ...
    def fileno(self) -> int: ...
    def __await__(self) -> Generator[Any, None, Any]: ...

class _CheckpointTensor(TypedDict):
    name: str
    dtype: str
    shape: tuple[int, ...]
    file: str
    begin: int
    end: int

def checkpoint_tensors(path: str) -> list[_CheckpointTensor]: ...
def rowids(tokens: _Ints | Any, history: _Ints | Any = None, out: Any = None) -> np.ndarray: ...
