"""The `larkspur` command line: demo, bench, make-table and inspect."""

from __future__ import annotations

import argparse
import importlib
import json
import os
import sys

BENCHMARKS = ["rowids", "fetch", "view", "pages"]


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


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="larkspur",
        description="Row ids, row fetch and page reads for hashed n-gram tables on local disk.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    demo = sub.add_parser("demo", help="stream tokens like a model server and fetch their rows",
                          description="Builds a synthetic n-gram table once, then runs "
                          "prefill and decode steps through Store.fetch and through a "
                          "numpy.memmap baseline, cold and warm, verifying every row.")
    demo.add_argument("--table", metavar="DIR", help="table directory (default: a cache dir)")
    demo.add_argument("--width", type=_positive, default=8, help="row width in bytes (default 8)")
    demo.add_argument("--batch", type=_positive, default=8, help="sequences decoded together")
    demo.add_argument("--prefill", type=_positive, default=512, help="prefill tokens per sequence")
    demo.add_argument("--decode", type=_non_negative, default=128, help="decode steps")
    demo.add_argument("--text", metavar="FILE", help="take tokens from FILE instead of Zipf")
    demo.add_argument("--text-mode", choices=["bytes", "words"], default="words",
                      help="map FILE's bytes or whitespace words to token ids")
    demo.add_argument("--seed", type=int, default=0)
    demo.add_argument("--no-baseline", action="store_true", help="skip the numpy.memmap runs")
    demo.add_argument("--plot", metavar="FILE.png", help="write latency distributions (matplotlib)")

    bench = sub.add_parser("bench", help="run the benchmark suite with baselines side by side")
    bench.add_argument("--quick", action="store_true", help="a seconds-long smoke run")
    bench.add_argument("--json", metavar="FILE", help="write the figures to FILE")
    bench.add_argument("--only", choices=BENCHMARKS, action="append",
                       help="run only this benchmark (repeatable)")

    make = sub.add_parser("make-table", help="write shard files from a .npy array or the generator")
    make.add_argument("dir", metavar="DIR")
    make.add_argument("--npy", metavar="FILE", help="rows in global order (default: generator)")
    make.add_argument("--shards", type=_positive, default=128)
    make.add_argument("--rows-per-shard", type=_positive, default=None,
                      help="default: 2500012, or the array's rows split over the shards")
    make.add_argument("--width", type=_positive, default=None,
                      help="bytes per row (default 8, or the array's row size)")

    inspect = sub.add_parser("inspect", help="list the shard files a Store would open")
    inspect.add_argument("dir", metavar="DIR")
    inspect.add_argument("--shards", type=_positive, default=None)
    inspect.add_argument("--rows-per-shard", type=_positive, default=None)
    inspect.add_argument("--width", type=_positive, default=None)
    return parser


def cmd_bench(args, parser) -> int:
    import tempfile

    names = args.only or BENCHMARKS
    results = {}
    with tempfile.TemporaryDirectory() as tmp:
        for name in names:
            module = _bench_module(name, parser)
            print(f"\n##### benchmark: {name}", flush=True)
            out = os.path.join(tmp, f"{name}.json")
            argv = (["--quick"] if args.quick else []) + ["--json", out]
            status = module.main(argv)
            if status:
                return status
            with open(out, encoding="utf-8") as f:
                results[name] = json.load(f)
            sys.stdout.flush()
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(results, f, indent=2, default=str)
    return 0


def _bench_module(name: str, parser):
    try:
        return importlib.import_module(f"larkspur.bench.{name}")
    except ModuleNotFoundError:
        here = os.path.join(os.path.dirname(__file__), "..", "..", "bench")
        if os.path.exists(os.path.join(here, f"{name}.py")):
            sys.path.insert(0, os.path.abspath(here))
            return importlib.import_module(name)
        parser.error(f"benchmark {name!r} is not installed")


def cmd_make_table(args, parser) -> int:
    from . import table
    from .progress import Progress

    if args.npy:
        try:
            source, rows, width = table.npy_source(args.npy)
        except (OSError, ValueError) as e:
            parser.error(f"cannot read {args.npy}: {e}")
        if args.width is not None and args.width != width:
            parser.error(f"--width {args.width} does not match the array's row size {width}")
        rps = args.rows_per_shard or -(-rows // args.shards)
        if rows > rps * args.shards:
            parser.error(f"{rows} rows do not fit {args.shards} shards of {rps} rows")
        name, available = f"npy:{os.path.abspath(args.npy)}", rows
    else:
        width = args.width or 8
        rps = args.rows_per_shard or table.QWEN_ROWS_PER_SHARD
        source, name, available = table.generator_source(width), "generator", None
    geometry = table.Geometry(args.shards, rps, width)
    bar = Progress("writing", geometry.total_bytes, "MB", 1e6)
    try:
        written = table.write_table(args.dir, geometry, source, name, progress=bar.update,
                                    rows_available=available)
    except ValueError as e:
        parser.error(str(e))
    bar.close()
    print(f"{args.dir}: {geometry.shards} shards x {rps} rows x {width} B;"
          f" wrote {len(written)} shard(s), {geometry.shards - len(written)} already complete")
    return 0


def cmd_inspect(args, parser) -> int:
    from . import table

    meta = table.read_meta(args.dir) or {}
    shards = args.shards or meta.get("shards")
    rps = args.rows_per_shard or meta.get("rows_per_shard")
    width = args.width or meta.get("width")
    if not (shards and rps and width):
        parser.error("--shards, --rows-per-shard and --width are needed (no table metadata in DIR)")
    if not os.path.isdir(args.dir):
        parser.error(f"{args.dir} is not a directory")
    geometry = table.Geometry(shards, rps, width)
    counts: dict[str, int] = {}
    print(f"{args.dir}: {shards} shards x {rps} rows x {width} B"
          f" ({geometry.shard_bytes} bytes per shard)")
    print(f"{'shard':>6}  {'file':<16}  {'bytes':>14}  {'rows':>12}  state")
    for i, path, size, state in table.iter_shard_status(args.dir, geometry):
        counts[state] = counts.get(state, 0) + 1
        name = os.path.basename(path) if path else "-"
        print(f"{i:>6}  {name:<16}  {size:>14}  {size // width:>12}  {state}")
    print("summary: " + ", ".join(f"{counts.get(k, 0)} {k}" for k in ("ok", "short", "long", "missing")))
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        import numpy  # noqa: F401
    except ImportError:
        parser.error("numpy is needed for this command: pip install 'larkspur[numpy]'")
    if args.command == "demo":
        from . import demo

        return demo.run(args)
    if args.command == "bench":
        return cmd_bench(args, parser)
    if args.command == "make-table":
        return cmd_make_table(args, parser)
    return cmd_inspect(args, parser)
