"""Checks an installed larkspur the way a user meets it: run with the Python of
a fresh virtual environment, from a folder outside the source tree.

  python check_installed.py [--wheel FILE] [--no-numpy] [--demo-table DIR]

Checks what the wheel file holds (--wheel), then a fetch, a Table gather, a
View read with a manifest (the JSON parser), page reads on both readers, `larkspur --help`,
`larkspur inspect`, the message of `larkspur bench` outside a checkout, and a
tiny `larkspur demo` on DIR (reused between runs). With --no-numpy the
environment must lack numpy: the commands that need it must say so, and the
others must work. Prints one line per check; exits 1 on the first failure.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import zipfile


def fail(message: str) -> None:
    print(f"check_installed: FAILED: {message}", file=sys.stderr)
    sys.exit(1)


def ok(message: str) -> None:
    print(f"  ok  {message}", flush=True)


def check_wheel(path: str) -> None:
    """The wheel holds the module, the stubs, the package and its metadata only."""
    names = zipfile.ZipFile(path).namelist()
    tops = {name.split("/", 1)[0] for name in names}
    modules = sorted(n for n in names if n.endswith(".so"))
    if modules != ["_larkspur.abi3.so", "larkspur/_engine.abi3.so"]:
        fail(f"{path}: extension modules {modules}, expected _larkspur.abi3.so"
             " and larkspur/_engine.abi3.so")
    allowed = {"_larkspur.abi3.so", "_larkspur-stubs", "larkspur"}
    unexpected = sorted(t for t in tops - allowed
                        if not (t.startswith("larkspur-") and t.endswith(".dist-info")))
    if unexpected:
        fail(f"{path} holds {unexpected}")
    for needed in ("_larkspur-stubs/__init__.pyi", "_larkspur-stubs/py.typed",
                   "larkspur/_engine.pyi", "larkspur/py.typed", "larkspur/cli.py",
                   "larkspur/table.py"):
        if needed not in names:
            fail(f"{path} lacks {needed}")
    if any("bench" in n.split("/") for n in names):
        fail(f"{path} holds benchmark scripts")
    ok(f"wheel holds {len(names)} files: {', '.join(sorted(tops))}")


def check_module(tmp: str) -> None:
    import _larkspur
    import larkspur

    for module in (_larkspur, larkspur):
        if "site-packages" not in (module.__file__ or ""):
            fail(f"{module.__name__} comes from {module.__file__}, not the environment")
    ok(f"_larkspur from {_larkspur.__file__}")

    # Store: 2 shards of 4 rows of 8 bytes; byte b of global row r is r * 8 + b.
    shards, rows, width = 2, 4, 8
    for s in range(shards):
        with open(os.path.join(tmp, f"shard_{s}.bin"), "wb") as f:
            f.write(bytes(range(s * rows * width, (s + 1) * rows * width)))
    store = _larkspur.Store(tmp, shards, rows, width)
    want = [7, 0, 5]
    got = store.fetch(want)
    if got != b"".join(bytes(range(r * width, (r + 1) * width)) for r in want):
        fail(f"Store.fetch({want}) returned {got!r}")
    ok("Store.fetch")

    # The engine API, into a buffer of the caller's (no numpy needed).
    with larkspur.Table(tmp, shards=shards, rows_per_shard=rows, width=width) as table:
        out = bytearray(len(want) * width)
        table.gather(want, out=out)
        if bytes(out) != got:
            fail(f"Table.gather({want}) gave {bytes(out)!r}")
    ok("Table.gather")

    # View: its manifest is parsed by nlohmann/json.
    records = os.path.join(tmp, "records.bin")
    with open(records, "wb") as f:
        f.write(bytes(range(256)) * 4)
    with open(os.path.join(tmp, "records.manifest.json"), "w") as f:
        f.write('{"slot_bytes": 32, "grans": 5, "note": [1e400, {"x": null}]}')
    view = _larkspur.View(records)
    if (view.len(), view.slot_bytes()) != (5, 32):
        fail(f"View: len {view.len()}, slot_bytes {view.slot_bytes()}, expected 5 and 32")
    if view.read_records([2, 0]) != bytes(range(64, 96)) + bytes(range(32)):
        fail("View.read_records([2, 0]) returned other bytes")
    ok("View manifest and read_records")

    pages = os.path.join(tmp, "pages.bin")
    with open(pages, "wb") as f:
        f.write(b"".join(bytes([i]) * 4096 for i in range(4)))
    fd = os.open(pages, os.O_RDONLY)
    try:
        for reader in (_larkspur.PageReader(), _larkspur.IoUringPageReader()):
            got_pages = reader.read_pages([fd, fd], [3 * 4096, 4096])
            if got_pages != [b"\x03" * 4096, b"\x01" * 4096]:
                fail(f"{type(reader).__name__}.read_pages returned other bytes")
        ok(f"read_pages (IoUringPageReader backend: {_larkspur.IoUringPageReader().backend})")
    finally:
        os.close(fd)


def larkspur(*args: str, timeout: float = 60) -> subprocess.CompletedProcess:
    command = os.path.join(os.path.dirname(sys.executable), "larkspur")
    return subprocess.run([command, *args], capture_output=True, text=True, timeout=timeout)


def check_command_line(tmp: str, numpy: bool, demo_table: str | None) -> None:
    result = larkspur("--help")
    if result.returncode != 0 or "inspect" not in result.stdout:
        fail(f"larkspur --help: {result.returncode}\n{result.stdout}{result.stderr}")
    ok("larkspur --help")

    result = larkspur("inspect", tmp, "--shards", "2", "--rows-per-shard", "4", "--width", "8")
    if result.returncode != 0 or "summary: 2 ok, 0 short, 0 long, 0 missing" not in result.stdout:
        fail(f"larkspur inspect: {result.returncode}\n{result.stdout}{result.stderr}")
    ok("larkspur inspect")

    if not numpy:
        for args in (["demo"], ["bench"], ["make-table", os.path.join(tmp, "t")]):
            result = larkspur(*args)
            if result.returncode != 2 or "numpy is needed" not in result.stderr:
                fail(f"larkspur {args[0]} without numpy: {result.returncode}\n{result.stderr}")
        ok("demo, bench and make-table say that they need numpy")
        return

    result = larkspur("bench", "--quick")
    if result.returncode != 1 or "source checkout" not in result.stderr:
        fail(f"larkspur bench outside a checkout: {result.returncode}\n{result.stderr}")
    ok("larkspur bench outside a checkout says where the benchmarks are")

    if demo_table is not None:
        # Width 1 keeps the full 128-shard grid to 320 MB, written once.
        result = larkspur("demo", "--table", demo_table, "--width", "1", "--batch", "1",
                          "--prefill", "8", "--decode", "2", "--no-baseline", timeout=600)
        if result.returncode != 0 or "all bytes correct" not in result.stdout:
            fail(f"larkspur demo: {result.returncode}\n{result.stdout}{result.stderr}")
        ok("larkspur demo: " + result.stdout.strip().splitlines()[-1])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wheel", metavar="FILE", help="check what this wheel holds")
    parser.add_argument("--no-numpy", action="store_true", help="numpy must be absent")
    parser.add_argument("--demo-table", metavar="DIR", help="run a tiny demo on DIR")
    args = parser.parse_args()

    try:
        import numpy  # noqa: F401

        has_numpy = True
    except ImportError:
        has_numpy = False
    if has_numpy == args.no_numpy:
        fail("numpy is " + ("present" if has_numpy else "absent"))
    if args.wheel:
        check_wheel(args.wheel)
    with tempfile.TemporaryDirectory() as tmp:
        check_module(tmp)
        check_command_line(tmp, has_numpy, args.demo_table)
    return 0


if __name__ == "__main__":
    sys.exit(main())
