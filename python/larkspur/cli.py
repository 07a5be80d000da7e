"""The `larkspur` command line: demo, bench, make-table and inspect."""

from __future__ import annotations

import argparse
import importlib
import json
import os
import re
import stat
import sys
from fractions import Fraction

BENCHMARKS = ["rowids", "fetch", "view", "pages", "engine"]
# Commands that import numpy; the others run without it.
NEEDS_NUMPY = {"demo", "bench", "make-table"}


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {text!r}")
    return value


def _non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a non-negative integer, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a non-negative integer, got {text!r}")
    return value


# Byte multiples of the units a size may carry (SI and binary prefixes).
SIZE_UNITS = {"": 1, "B": 1, **{f"{p}B": 1000 ** (i + 1) for i, p in enumerate("KMGT")},
              **{f"{p}iB": 1024 ** (i + 1) for i, p in enumerate("KMGT")}}
_SIZE = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*([A-Za-z]*)\s*")


def parse_size(text: str) -> int:
    """Bytes of `text`: an integer, or a number with a unit such as "512MiB",
    "4GiB" or "1.5GB" (units are case-insensitive); a fraction of a byte is
    dropped. Read as Table(cache_bytes=text) reads it, so that the demo can
    refuse a bad size before it builds a table."""
    match = _SIZE.fullmatch(text)
    units = {unit.lower(): factor for unit, factor in SIZE_UNITS.items()}
    if match is None or match[2].lower() not in units:
        raise argparse.ArgumentTypeError(
            f"expected a size such as 4096, 512MiB or 4GiB, got {text!r}")
    return int(Fraction(match[1]) * units[match[2].lower()])


class CommandError(Exception):
    """A failure of a command, reported as one line on standard error (exit status 1)."""


class OutputFile:
    """An output path opened before a long run, so that an unwritable path
    fails before the run, not after it.

    Opening creates a missing file but does not truncate an existing one;
    `contents()` does, when the results are ready. A file this object created
    is removed again unless `contents()` was reached and the block succeeded.
    """

    def __init__(self, path: str):
        self.path = path
        self.created = False
        self.written = False
        try:
            try:
                fd = os.open(path, os.O_WRONLY | os.O_CLOEXEC)
            except FileNotFoundError:
                fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_CLOEXEC, 0o666)
                self.created = True
        except OSError as e:
            raise CommandError(f"cannot write {path}: {e.strerror}") from None
        self.file = os.fdopen(fd, "wb")

    def contents(self):
        """The file, emptied if it is a regular file, for the final results."""
        if stat.S_ISREG(os.fstat(self.file.fileno()).st_mode):
            self.file.truncate(0)
        self.written = True
        return self.file

    def __enter__(self) -> OutputFile:
        return self

    def __exit__(self, kind, value, tb) -> None:
        try:
            self.file.close()
        finally:
            if self.created and (kind is not None or not self.written):
                try:
                    os.unlink(self.path)
                except OSError:
                    pass


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="larkspur",
        description="Row ids, row fetch and page reads for hashed n-gram tables on local disk.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    demo = sub.add_parser("demo", help="stream tokens like a model server and fetch their rows",
                          description="Builds a synthetic n-gram table once, then runs "
                          "prefill and decode steps through Table.lookup (with its row "
                          "cache when one is set), Store.fetch and a numpy.memmap "
                          "baseline, cold and warm, verifying every row.")
    demo.add_argument("--table", metavar="DIR", help="table directory (default: a cache dir)")
    demo.add_argument("--width", type=_positive, default=8, help="row width in bytes (default 8)")
    demo.add_argument("--batch", type=_positive, default=8, help="sequences decoded together")
    demo.add_argument("--prefill", type=_positive, default=512, help="prefill tokens per sequence")
    demo.add_argument("--decode", type=_non_negative, default=128, help="decode steps")
    source = demo.add_mutually_exclusive_group()
    source.add_argument("--text", metavar="FILE", help="take tokens from FILE instead of Zipf")
    source.add_argument("--trace", metavar="FILE",
                        help="take token ids from FILE: raw little-endian uint32, no header")
    demo.add_argument("--text-mode", choices=["bytes", "words"], default="words",
                      help="map FILE's bytes or whitespace words to token ids")
    demo.add_argument("--cache-bytes", metavar="SIZE", type=parse_size, default=None,
                      help="the Table's row cache, such as 64MiB (default: none, or 1%% of "
                           "the table with --trace; 0: none)")
    demo.add_argument("--seed", type=int, default=0)
    demo.add_argument("--no-baseline", action="store_true", help="skip the numpy.memmap runs")
    demo.add_argument("--plot", metavar="FILE.png", help="write latency distributions (matplotlib)")

    bench = sub.add_parser("bench", help="run the benchmark suite with baselines side by side")
    bench.add_argument("--quick", action="store_true", help="a seconds-long smoke run")
    bench.add_argument("--json", metavar="FILE", help="write the figures to FILE")
    bench.add_argument("--only", choices=BENCHMARKS, action="append",
                       help="run only this benchmark (repeatable)")

    make = sub.add_parser("make-table", help="write shard files from a .npy array, a "
                          "checkpoint's tensors or the generator",
                          description="Writes the shard files of a table directory, and its "
                          "larkspur-table.json. A run that stops part way is resumed by running "
                          "it again: complete shards are kept.")
    make.add_argument("dir", metavar="DIR")
    rows_from = make.add_mutually_exclusive_group()
    rows_from.add_argument("--npy", metavar="FILE",
                           help="rows in global order (default: generator)")
    rows_from.add_argument("--from-safetensors", metavar="PATH",
                           help="copy the shard tensors of a safetensors checkpoint (a file, or "
                           "a directory), named by --tensors, and verify the copy")
    make.add_argument("--tensors", metavar="NAMES",
                      help="with --from-safetensors: the shard tensors, a name with {i} for "
                      "the shard number (see `larkspur inspect PATH`), or one name")
    make.add_argument("--shards", type=_positive, default=None,
                      help="default 128, or the tensors' count")
    make.add_argument("--rows-per-shard", type=_positive, default=None,
                      help="default: 2500012, or the array's rows split over the shards")
    make.add_argument("--width", type=_positive, default=None,
                      help="bytes per row (default 8, or the array's or tensors' row size;"
                      " needed for 1-D tensors of bytes)")

    inspect = sub.add_parser("inspect", help="list the shard files a Store would open, or a "
                             "checkpoint's tensors",
                             description="Lists the shard files a Store or Table would open "
                             "and says which file system holds them; with the settings a "
                             "Table will be opened with, warns about those that suit a local "
                             "disk when the table is on a network file system. Given a "
                             "safetensors checkpoint (a .safetensors file, or a directory with "
                             "model.safetensors.index.json or .safetensors files), lists its "
                             "tensors and the name patterns that make a table of them.")
    inspect.add_argument("dir", metavar="PATH")
    inspect.add_argument("--shards", type=_positive, default=None)
    inspect.add_argument("--rows-per-shard", type=_positive, default=None)
    inspect.add_argument("--width", type=_positive, default=None)
    inspect.add_argument("--queue-depth", type=_non_negative, default=None,
                         help="the Table's queue_depth (default 128)")
    inspect.add_argument("--cache-bytes", metavar="SIZE", type=parse_size, default=None,
                         help="the Table's cache_bytes (default 0: no row cache)")
    return parser


def cmd_bench(args, parser) -> int:
    import contextlib
    import tempfile

    names = args.only or BENCHMARKS
    modules = [_bench_module(name) for name in names]
    results = {}
    with contextlib.ExitStack() as stack:
        output = stack.enter_context(OutputFile(args.json)) if args.json else None
        tmp = stack.enter_context(tempfile.TemporaryDirectory())
        for name, module in zip(names, modules):
            print(f"\n##### benchmark: {name}", flush=True)
            out = os.path.join(tmp, f"{name}.json")
            argv = (["--quick"] if args.quick else []) + ["--json", out]
            status = module.main(argv)
            if status:
                return status
            with open(out, encoding="utf-8") as f:
                results[name] = json.load(f)
            sys.stdout.flush()
        if output is not None:
            text = json.dumps(results, indent=2, default=str)
            try:
                output.contents().write(text.encode("utf-8"))
                output.file.flush()
            except OSError as e:
                raise CommandError(f"cannot write {args.json}: {e.strerror}") from None
    return 0


def _bench_dir() -> str | None:
    """The bench/ folder of a source checkout: the one this package was
    imported from, or the one holding the current directory; None if neither
    is a checkout."""
    here = os.path.dirname(os.path.abspath(__file__))
    candidates = [os.path.dirname(os.path.dirname(here))]
    path = os.getcwd()
    while True:
        candidates.append(path)
        parent = os.path.dirname(path)
        if parent == path:
            break
        path = parent
    for root in candidates:
        bench = os.path.join(root, "bench")
        if (os.path.isfile(os.path.join(bench, "common.py"))
                and os.path.isfile(os.path.join(root, "python", "larkspur", "cli.py"))):
            return bench
    return None


def _bench_module(name: str):
    """The benchmark script `name` of a source checkout; the scripts are not
    part of the installed package."""
    bench = _bench_dir()
    if bench is None:
        raise CommandError("the benchmarks are scripts in the bench/ folder of a larkspur source"
                           " checkout and are not installed with the package: run"
                           " `larkspur bench` inside a checkout")
    if not os.path.isfile(os.path.join(bench, f"{name}.py")):
        raise CommandError(f"benchmark {name!r} is missing from {bench}")
    if bench not in sys.path:
        sys.path.insert(0, bench)
    return importlib.import_module(name)


def _checkpoint_source(args, parser):
    """The rows of --from-safetensors's tensors: (source, geometry, source
    name, the checkpoint's Table)."""
    from . import Table, table

    if not args.tensors:
        parser.error("--from-safetensors needs --tensors (`larkspur inspect PATH` suggests them)")
    try:
        ckpt = Table.from_safetensors(args.from_safetensors, args.tensors, width=args.width)
    except ValueError as e:
        raise CommandError(str(e)) from None
    given = {"--shards": (args.shards, ckpt.shards),
             "--rows-per-shard": (args.rows_per_shard, ckpt.rows_per_shard)}
    for flag, (value, found) in given.items():
        if value is not None and value != found:
            parser.error(f"{flag} {value} does not match the tensors' {found}")
    geometry = table.Geometry(ckpt.shards, ckpt.rows_per_shard, ckpt.width)
    name = f"safetensors:{os.path.abspath(args.from_safetensors)}:{args.tensors}"
    return _gather_source(ckpt), geometry, name, ckpt


def _gather_source(source_table):
    import numpy as np

    return lambda first, count: source_table.gather(
        np.arange(first, first + count, dtype=np.uint64))


def _verifier(geometry, ckpt):
    """verify(i, path) for write_table: shard i's file, read back, must hold
    the checkpoint's rows; raises CommandError at the first that differs."""
    import numpy as np

    original = _gather_source(ckpt)
    chunk = max(1, (16 << 20) // geometry.width)

    def verify(i: int, path: str) -> None:
        first = i * geometry.rows_per_shard
        with open(path, "rb") as f:
            for start in range(0, geometry.rows_per_shard, chunk):
                count = min(chunk, geometry.rows_per_shard - start)
                written = np.frombuffer(f.read(count * geometry.width), np.uint8)
                want = original(first + start, count).reshape(-1)
                if not np.array_equal(written, want):
                    raise CommandError(f"{path} differs from the checkpoint's shard {i}"
                                       f" in rows {start} to {start + count - 1}")

    return verify


def cmd_make_table(args, parser) -> int:
    from . import table
    from .progress import Progress

    ckpt = None
    if args.tensors and not args.from_safetensors:
        parser.error("--tensors goes with --from-safetensors")
    if args.from_safetensors:
        source, geometry, name, ckpt = _checkpoint_source(args, parser)
        rps, width, available = geometry.rows_per_shard, geometry.width, None
    elif args.npy:
        args.shards = args.shards or table.QWEN_SHARDS
        try:
            source, rows, width = table.npy_source(args.npy)
        except OSError as e:
            parser.error(f"cannot read {args.npy}: {e.strerror or e}")
        except ValueError as e:
            parser.error(f"cannot read {args.npy}: {e}")
        if args.width is not None and args.width != width:
            parser.error(f"--width {args.width} does not match the array's row size {width}")
        rps = args.rows_per_shard or -(-rows // args.shards)
        if rows > rps * args.shards:
            parser.error(f"{rows} rows do not fit {args.shards} shards of {rps} rows")
        name, available = f"npy:{os.path.abspath(args.npy)}", rows
    else:
        args.shards = args.shards or table.QWEN_SHARDS
        width = args.width or 8
        rps = args.rows_per_shard or table.QWEN_ROWS_PER_SHARD
        source, name, available = table.generator_source(width), "generator", None
    if ckpt is None:
        geometry = table.Geometry(args.shards, rps, width)
    bar = Progress("writing", geometry.total_bytes, "MB", 1e6)
    verify = _verifier(geometry, ckpt) if ckpt is not None else None
    try:
        written = table.write_table(args.dir, geometry, source, name, progress=bar.update,
                                    rows_available=available, verify=verify)
    finally:
        if ckpt is not None:
            ckpt.close()
    bar.close()
    checked = ""
    if ckpt is not None:
        checked = "; each read back and checked against the checkpoint"
    print(f"{args.dir}: {geometry.shards} shards x {rps} rows x {width} B;"
          f" wrote {len(written)} shard(s), {geometry.shards - len(written)} already complete"
          + checked)
    return 0


def _inspect_geometry(args, parser: argparse.ArgumentParser) -> tuple[int, int, int]:
    """--shards, --rows-per-shard and --width, each taken from the table's
    metadata when not given; the metadata is read only if one is missing."""
    from . import table

    given = {"shards": args.shards, "rows_per_shard": args.rows_per_shard, "width": args.width}
    if all(given.values()):
        return args.shards, args.rows_per_shard, args.width
    try:
        meta = table.load_meta(args.dir)
    except OSError as e:
        raise CommandError(f"cannot read {os.path.join(args.dir, table.META_NAME)}:"
                           f" {e.strerror or e}") from None
    if meta is None:
        parser.error("--shards, --rows-per-shard and --width are needed (no table metadata in DIR)")
    values = [value or table.meta_count(meta, key, args.dir) for key, value in given.items()]
    return values[0], values[1], values[2]


def cmd_inspect_checkpoint(args) -> int:
    """The tensors of a checkpoint and the name patterns that make a table."""
    from . import Table, checkpoint_tensors
    from .checkpoint import format_shape, table_candidates

    try:
        tensors = checkpoint_tensors(args.dir)
    except ValueError as e:
        raise CommandError(str(e)) from None
    files = sorted({t["file"] for t in tensors})
    print(f"{args.dir}: safetensors checkpoint, {len(tensors)} tensor(s) in"
          f" {len(files)} file(s)")
    args.shards_bytes = sum(t["end"] - t["begin"] for t in tensors)
    where, *warnings = _placement(args)
    print(where)
    base = os.path.dirname(args.dir) if os.path.isfile(args.dir) else args.dir
    print(f"{'dtype':<8}  {'shape':<20}  {'bytes':>14}  {'file':<34}  {'range':<26}  name")
    for t in tensors:
        span = f"{t['begin']}-{t['end']}"
        print(f"{t['dtype']:<8}  {format_shape(t['shape']):<20}  {t['end'] - t['begin']:>14}"
              f"  {os.path.relpath(t['file'], base):<34}  {span:<26}  {t['name']}")
    found = table_candidates(args.dir, [t["name"] for t in tensors], Table.from_safetensors)
    if not found:
        print("tables: no name pattern with {i} names tensors 0, 1, ... that make one;"
              " give Table.from_safetensors the names in shard order")
    for c in found:
        print(f"table: Table.from_safetensors({args.dir!r}, {c.pattern!r}):"
              f" {c.shards} shards x {c.rows_per_shard} rows x {c.width} B")
    for line in warnings:
        print(line)
    return 0


def cmd_inspect(args, parser) -> int:
    from . import table
    from .checkpoint import is_checkpoint

    if is_checkpoint(args.dir) and not os.path.exists(os.path.join(args.dir, table.META_NAME)):
        return cmd_inspect_checkpoint(args)
    shards, rps, width = _inspect_geometry(args, parser)
    if not os.path.isdir(args.dir):
        parser.error(f"{args.dir} is not a directory")
    geometry = table.Geometry(shards, rps, width)
    args.shards_bytes = geometry.total_bytes
    counts: dict[str, int] = {}
    print(f"{args.dir}: {shards} shards x {rps} rows x {width} B"
          f" ({geometry.shard_bytes} bytes per shard)")
    where, *warnings = _placement(args)
    print(where)
    print(f"{'shard':>6}  {'file':<16}  {'bytes':>14}  {'rows':>12}  state")
    for i, path, size, state in table.iter_shard_status(args.dir, geometry):
        counts[state] = counts.get(state, 0) + 1
        name = os.path.basename(path) if path else "-"
        print(f"{i:>6}  {name:<16}  {size:>14}  {size // width:>12}  {state}")
    summary = [f"{counts.get(k, 0)} {k}" for k in ("ok", "short", "long", "missing")]
    if counts.get("not-a-file"):
        summary.append(f"{counts['not-a-file']} not-a-file")
    print("summary: " + ", ".join(summary))
    for line in warnings:
        print(line)
    return 0


# Below these, a Table on a network file system is set up as for a local
# disk: too few reads in flight to hide the network's latency, and no rows
# kept in memory.
REMOTE_QUEUE_DEPTH = 128


def _placement(args) -> list[str]:
    """Where the table lives, and warnings about settings that suit a local
    disk when that is a network file system."""
    from . import machine

    mount = machine.mount_of(args.dir)
    if mount is None:
        return ["file system: unknown (the mount table cannot be read)"]
    point, fstype, source = mount
    remote = fstype in machine.NETWORK_FS
    kind = "a network file system" if remote else (
        "a FUSE file system" if fstype.startswith("fuse") else "a local file system")
    lines = [f"file system: {fstype} mounted at {point} from {source} ({kind})"]
    if not remote:
        return lines
    depth = 128 if args.queue_depth is None else args.queue_depth
    if depth < REMOTE_QUEUE_DEPTH:
        lines.append(f"warning: queue_depth={depth} suits a local disk; on {fstype} each read "
                     f"waits for the network: use {REMOTE_QUEUE_DEPTH} to 256 reads in flight")
    if not args.cache_bytes:
        lines.append(f"warning: no row cache: every row read again crosses the network; "
                     f"give cache_bytes= (1% of the table is "
                     f"{args.shards_bytes // 100:,} bytes)")
    return lines


def _error(message: str) -> None:
    """Prints `message` as argparse prints its errors, after any progress line."""
    from .progress import end_line

    end_line()
    print(f"larkspur: error: {message}", file=sys.stderr, flush=True)


def _os_error_text(e: OSError) -> str:
    text = e.strerror or str(e)
    if e.filename is not None and e.filename2 is not None:
        return f"{e.filename} -> {e.filename2}: {text}"
    if e.filename is not None:
        return f"{e.filename}: {text}"
    return text


def _silence_stdout() -> None:
    """Points standard output at /dev/null, so that the flush at exit does not
    fail again on a reader that has gone away."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


def main(argv: list[str] | None = None) -> int:
    """Runs one command. Usage errors exit with 2 (argparse), other failures
    print one line and exit with 1, an interrupt exits with 130."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        if args.command in NEEDS_NUMPY:
            try:
                import numpy  # noqa: F401
            except ImportError:
                parser.error("numpy is needed for this command: pip install 'larkspur[numpy]'")
        status = _run(args, parser)
        sys.stdout.flush()
        return status
    except KeyboardInterrupt:
        _error("interrupted")
        return 130
    except BrokenPipeError:
        # The reader of standard output went away (`larkspur inspect DIR | head`).
        _silence_stdout()
        return 1
    except CommandError as e:
        _error(str(e))
        return 1
    except OSError as e:
        _error(_os_error_text(e))
        return 1
    except MemoryError as e:
        _error(f"out of memory ({e})" if str(e) else "out of memory")
        return 1


def _run(args, parser: argparse.ArgumentParser) -> int:
    from . import table

    try:
        if args.command == "demo":
            from . import demo

            return demo.run(args, parser)
        if args.command == "bench":
            return cmd_bench(args, parser)
        if args.command == "make-table":
            return cmd_make_table(args, parser)
        return cmd_inspect(args, parser)
    except table.TableError as e:
        parser.error(str(e))
    except table.MetadataError as e:
        raise CommandError(str(e)) from None
