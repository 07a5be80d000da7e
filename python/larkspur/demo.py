"""The demo: an inference host's n-gram row lookups, end to end and verified.

It builds (once) a synthetic table on the real PLE_QWEN_V1 grid, then streams
tokens like a model server: a prefill chunk per sequence, then decode steps
for a batch of sequences. Each step looks the rows of the new tokens up with
`Table.lookup` (tokens and each sequence's history in, rows out into one
buffer allocated up front), through the Table's row cache when one is set,
and checks every byte. The same steps run through the list-based row ids
with `Store.fetch`, and with numpy.memmap, as baselines.
"""

from __future__ import annotations

import contextlib
import os
import statistics
import time
from collections.abc import Callable
from dataclasses import dataclass, field

import numpy as np

import _larkspur

from . import machine, reference, table
from ._engine import Table, rowids
from .cli import CommandError, OutputFile
from .progress import Progress
from .report import percentile, print_table

VOCAB = reference.PAD  # token ids below the pad token


def default_table_dir(width: int) -> str:
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "larkspur", f"demo-table-w{width}")


def zipf_tokens(rng: np.random.Generator, count: int, exponent: float = 1.1) -> np.ndarray:
    """Token ids with a Zipf distribution over a shuffled vocabulary."""
    ranks = rng.zipf(exponent, size=count) - 1
    ranks = ranks[ranks < VOCAB]
    while len(ranks) < count:
        more = rng.zipf(exponent, size=count) - 1
        ranks = np.concatenate([ranks, more[more < VOCAB]])
    order = np.random.default_rng(12345).permutation(VOCAB)
    return order[ranks[:count]].astype(np.int64)


def text_tokens(path: str, mode: str) -> np.ndarray:
    """Token ids from a file: its bytes, or its whitespace-separated words hashed."""
    with open(path, "rb") as f:
        data = f.read()
    if mode == "bytes":
        return np.frombuffer(data, dtype=np.uint8).astype(np.int64)
    words = data.split()
    ids = [int.from_bytes(w[:8].ljust(8, b"\0"), "little") * 0x9E3779B1 % VOCAB for w in words]
    return np.array(ids, dtype=np.int64)


def trace_tokens(path: str) -> np.ndarray:
    """Token ids of a trace file: raw little-endian uint32, no header."""
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        if size % 4:
            raise CommandError(f"{path} is not a token trace: its {size:,} bytes are not"
                               " a whole number of 4-byte token ids")
        return np.fromfile(f, dtype="<u4").astype(np.int64)


@dataclass
class RunStats:
    name: str
    prefill: list[float] = field(default_factory=list)
    decode: list[float] = field(default_factory=list)
    prefill_tokens: int = 0
    decode_tokens: int = 0
    rows: int = 0
    verified_rows: int = 0
    # The row cache's counters per phase, for runs through a cached Table.
    cache: dict[str, dict] = field(default_factory=dict)


class Mismatch(CommandError):
    """A fetched row whose bytes are not the generator's."""


def verify(data: bytes | np.ndarray, rowids: list[int], width: int) -> None:
    got = np.frombuffer(data, dtype=np.uint8) if isinstance(data, bytes) else data.reshape(-1)
    want = table.expected_rows(np.array(rowids, dtype=np.uint64), width)
    got = got.reshape(len(rowids), width)
    if not np.array_equal(got, want):
        bad = int(np.nonzero((got != want).any(axis=1))[0][0])
        raise Mismatch(f"row id {rowids[bad]} (position {bad}) does not hold its bytes")


class MemmapTable:
    """The baseline: one numpy.memmap per shard, gathered in request order."""

    def __init__(self, directory: str, geometry: table.Geometry):
        self.rps = geometry.rows_per_shard
        self.width = geometry.width
        self.maps = [np.memmap(table.shard_path(directory, i), dtype=np.uint8, mode="r",
                               shape=(geometry.rows_per_shard, geometry.width))
                     for i in range(geometry.shards)]

    def fetch(self, rowids: list[int]) -> np.ndarray:
        ids = np.asarray(rowids, dtype=np.int64)
        shard = ids // self.rps
        local = ids % self.rps
        out = np.empty((len(ids), self.width), dtype=np.uint8)
        for s in np.unique(shard):
            mask = shard == s
            out[mask] = self.maps[s][local[mask]]
        return out


class LookupSteps:
    """The engine's way: Table.lookup into buffers allocated once."""

    def __init__(self, t: Table, batch: int, prefill: int, width: int):
        self.table = t
        self.prefill_out = np.empty((prefill, 16, width), np.uint8)
        self.decode_out = np.empty((batch, 1, 16, width), np.uint8)

    def prefill(self, chunk: np.ndarray) -> np.ndarray:
        return self.table.lookup(chunk, out=self.prefill_out[:len(chunk)])

    def decode(self, tokens: np.ndarray, history: np.ndarray) -> np.ndarray:
        return self.table.lookup(tokens[:, None], history, out=self.decode_out)

    def cache_stats(self) -> dict | None:
        """The row cache's counters since the last call; None without a cache."""
        cache = self.table.stats(reset=True).get("cache")
        return cache if cache and cache["budget_bytes"] else None

    def close(self) -> None:
        self.table.close()


class ListSteps:
    """The list-based way: rowids_for_seq(_with_history), then `fetch`."""

    def __init__(self, fetch: Callable[[list[int]], object]):
        self.fetch = fetch

    def prefill(self, chunk: np.ndarray):
        return self.fetch([r for rows in _larkspur.rowids_for_seq(chunk.tolist(), 1)
                           for r in rows])

    def decode(self, tokens: np.ndarray, history: np.ndarray):
        flat = []
        for b, token in enumerate(tokens.tolist()):
            flat.extend(_larkspur.rowids_for_seq_with_history(history[b].tolist(), [token], 1)[0])
        return self.fetch(flat)


def run_loop(name: str, steps, streams: list[np.ndarray], prefill: int, width: int,
             progress: Progress) -> RunStats:
    """Every sequence's prefill chunk, then one decode step per position for
    the whole batch; each step timed, then verified outside the timing."""
    stats = RunStats(name)

    def timed(latencies: list[float], call, args: tuple, ids: np.ndarray) -> None:
        t0 = time.perf_counter()
        data = call(*args)
        latencies.append(time.perf_counter() - t0)
        flat = ids.ravel().tolist()
        verify(data, flat, width)
        stats.rows += len(flat)
        stats.verified_rows += len(flat)
        progress.update(progress.done + 1)

    def cache_phase(phase: str) -> None:
        cache = steps.cache_stats() if hasattr(steps, "cache_stats") else None
        if cache is not None:
            stats.cache[phase] = cache

    for seq in streams:
        chunk = seq[:prefill]
        timed(stats.prefill, steps.prefill, (chunk,), rowids(chunk))
        stats.prefill_tokens += len(chunk)
    cache_phase("prefill")
    history = np.stack([seq[prefill - 2:prefill] for seq in streams])
    for position in range(prefill, len(streams[0])):
        tokens = np.array([seq[position] for seq in streams], dtype=np.int64)
        timed(stats.decode, steps.decode, (tokens, history), rowids(tokens[:, None], history))
        history = np.column_stack([history[:, 1], tokens])
        stats.decode_tokens += len(streams)
    cache_phase("decode")
    return stats


def fmt_ms(seconds: float) -> str:
    return f"{seconds * 1e3:.3f}"


# Hit-rate columns of a cached run: (header, key of the cache's counters).
HIT_COLUMNS = (("cache hit %", "hit_rate"), ("heads 0-7", "hit_rate_heads_0_7"),
               ("heads 8-15", "hit_rate_heads_8_15"))


def print_results(runs: list[RunStats], width: int) -> None:
    cached = any(r.cache for r in runs)
    header = ["run", "phase", "steps", "tokens/s", "rows/s", "MB/s",
              "p50 ms", "p90 ms", "p99 ms", "max ms"]
    if cached:
        header += [name for name, _ in HIT_COLUMNS]
    rows = []
    for r in runs:
        for phase, lat, tokens in (("prefill", r.prefill, r.prefill_tokens),
                                   ("decode", r.decode, r.decode_tokens)):
            if not lat:
                continue
            total = sum(lat)
            nrows = tokens * 16
            rows.append([r.name, phase, len(lat), f"{tokens / total:,.0f}",
                         f"{nrows / total:,.0f}", f"{nrows * width / total / 1e6:,.1f}",
                         fmt_ms(percentile(lat, 0.5)), fmt_ms(percentile(lat, 0.9)),
                         fmt_ms(percentile(lat, 0.99)), fmt_ms(max(lat))])
            if cached:
                cache = r.cache.get(phase)
                rows[-1] += [f"{100 * cache[key]:.1f}" if cache else "-"
                             for _, key in HIT_COLUMNS]
    print_table(header, rows)
    cache = next((r.cache[p] for r in runs for p in ("prefill", "decode") if p in r.cache), None)
    if cache is not None:
        print(f"row cache: {cache['capacity_rows']:,} rows; hit % = the share of the rows"
              " asked for that it served (heads 0-7: bigram rows, 8-15: trigram rows)")
    by_name = {r.name: r for r in runs}
    ratio_rows = []
    for baseline in ("Store.fetch", "memmap"):
        for mode in ("cold", "warm"):
            ours, base = by_name.get(f"larkspur {mode}"), by_name.get(f"{baseline} {mode}")
            if ours is None or base is None:
                continue
            for phase in ("prefill", "decode"):
                a, b = getattr(ours, phase), getattr(base, phase)
                if a and b:
                    ratio_rows.append([baseline, mode, phase, f"{sum(b) / sum(a):.2f}x",
                                       f"{statistics.median(b) / statistics.median(a):.2f}x"])
    if ratio_rows:
        print()
        print_table(["vs", "mode", "phase", "throughput ratio", "p50 latency ratio"],
                    ratio_rows)


def plot(runs: list[RunStats], out: OutputFile) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(11, 4))
    for ax, phase in zip(axes, ("prefill", "decode")):
        for r in runs:
            lat = sorted(x * 1e3 for x in getattr(r, phase))
            if lat:
                ax.plot(lat, [i / len(lat) for i in range(len(lat))], label=r.name)
        ax.set_xscale("log")
        ax.set_xlabel(f"{phase} step latency (ms)")
        ax.set_ylabel("fraction of steps")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
    fig.tight_layout()
    fig.savefig(out.contents(), format=os.path.splitext(out.path)[1][1:].lower() or None,
                dpi=120)


def _check_plot(path: str, parser) -> None:
    try:
        from matplotlib.backend_bases import FigureCanvasBase
    except ImportError:
        parser.error("--plot needs matplotlib: pip install 'larkspur[plot]'")
    ext = os.path.splitext(path)[1][1:].lower()
    if ext and ext not in FigureCanvasBase.get_supported_filetypes():
        parser.error(f"--plot: matplotlib cannot write .{ext} files")


def _token_streams(args, rng: np.random.Generator) -> list[np.ndarray]:
    per_seq = args.prefill + args.decode
    path = args.text or args.trace
    if path:
        source = trace_tokens(path) if args.trace else text_tokens(path, args.text_mode)
        if len(source) == 0:
            raise CommandError(f"{path} holds no tokens")
        reps = -(-per_seq * args.batch // len(source))
        source = np.tile(source, reps)
        return [source[b * per_seq:(b + 1) * per_seq] for b in range(args.batch)]
    return [zipf_tokens(rng, per_seq) for _ in range(args.batch)]


def run(args, parser) -> int:
    """Runs the demo; its inputs and the plot's path are checked before the
    table is built."""
    with contextlib.ExitStack() as stack:
        plot_out = None
        if args.plot:
            plot_out = stack.enter_context(OutputFile(args.plot))
            _check_plot(args.plot, parser)
        streams = _token_streams(args, np.random.default_rng(args.seed))
        return _run(args, streams, plot_out)


def _run(args, streams: list[np.ndarray], plot_out: OutputFile | None) -> int:
    width = args.width
    directory = args.table or default_table_dir(width)
    geometry = table.Geometry(table.QWEN_SHARDS, table.QWEN_ROWS_PER_SHARD, width)
    print("larkspur demo: n-gram row lookups of an inference host, every byte verified")
    print(f"  machine  {machine.describe()}")
    print(f"  table    {directory}: {geometry.shards} shards x {geometry.rows_per_shard:,} rows"
          f" x {width} B = {geometry.total_bytes / 1e9:.2f} GB")
    if args.text:
        tokens_desc = f"--text {args.text} ({args.text_mode})"
    elif args.trace:
        tokens_desc = f"--trace {args.trace}"
    else:
        tokens_desc = "Zipf(1.1) generator"
    print(f"  settings batch {args.batch}, prefill {args.prefill} tokens, decode {args.decode}"
          f" steps, tokens from {tokens_desc}, seed {args.seed}")
    # A trace is real text: by default its run shows what a cache of 1% of
    # the table makes of it.
    cache_bytes = args.cache_bytes
    if cache_bytes is None:
        cache_bytes = geometry.total_bytes // 100 if args.trace else 0
    if cache_bytes:
        print(f"  cache    {cache_bytes:,} bytes ({100 * cache_bytes / geometry.total_bytes:.3g}%"
              " of the table) for the row cache of each larkspur run, empty at its start")

    todo = table.missing_shards(directory, geometry) if os.path.isdir(directory) else list(
        range(geometry.shards))
    bar = None
    if todo:
        verb = "completing" if len(todo) < geometry.shards else "building"
        bar = Progress(f"{verb} table", geometry.total_bytes, "GB", 1e9)
    # Also when no shard is missing: a directory whose metadata names another
    # table or generator is refused rather than verified against this one.
    table.write_table(directory, geometry, table.generator_source(width),
                      table.GENERATOR_SOURCE, progress=bar.update if bar else None)
    if bar:
        bar.close()

    def open_table() -> Table:
        return Table(directory, cache_bytes=cache_bytes) if cache_bytes else Table(directory)

    store = _larkspur.Store(directory, geometry.shards, geometry.rows_per_shard, width)
    shard_files = [table.shard_path(directory, i) for i in range(geometry.shards)]
    steps_per_run = args.batch + args.decode
    ways = [("larkspur", lambda: LookupSteps(open_table(), args.batch, args.prefill, width))]
    if not args.no_baseline:
        ways.append(("Store.fetch", lambda: ListSteps(store.fetch)))
        ways.append(("memmap", lambda: ListSteps(MemmapTable(directory, geometry).fetch)))
    # A server starts its worker pool once, at start-up, not in its first
    # step: a request larger than the calling thread serves alone does.
    store.fetch([0] * 2048)
    runs: list[RunStats] = []
    bar = Progress("running", steps_per_run * 2 * len(ways), "steps")
    for name, make_steps in ways:
        for mode in ("cold", "warm"):
            if mode == "cold":
                table.evict(shard_files)
            steps = make_steps()
            try:
                runs.append(run_loop(f"{name} {mode}", steps, streams, args.prefill, width, bar))
            finally:
                if hasattr(steps, "close"):
                    steps.close()
            del steps
    bar.close()
    print()
    print_results(runs, width)
    verified = sum(r.verified_rows for r in runs)
    print(f"\nverified {verified:,} rows ({verified * width / 1e6:,.1f} MB): all bytes correct")
    if plot_out is not None:
        plot(runs, plot_out)
        print(f"latency plot written to {args.plot}")
    return 0

