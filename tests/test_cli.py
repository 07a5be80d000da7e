"""The `larkspur` command line: table tools, demo and the benchmark smoke run."""

import argparse
import json
import os
import resource
import shutil
import signal
import subprocess
import sys

import numpy as np
import pytest

import _larkspur
import larkspur
from conftest import bench_module, cli_argv, run_cli, under_asan, write_token_trace
from larkspur import table
from larkspur.arrays import as_rows, rowids_array
from larkspur.cli import main, parse_size


def assert_error(result, status, text):
    """The child failed with `status`, no traceback, its last line an argparse-style
    error holding `text`; below status 2 (usage) no other line but progress."""
    assert result.returncode == status and "Traceback" not in result.stderr, result.stderr
    lines = result.stderr.splitlines()
    assert lines[-1].startswith("larkspur: error: ") and text in lines[-1], result.stderr
    if status != 2:
        assert [line for line in lines if not line.startswith("writing: ")] == lines[-1:]


def make_args(directory, shards=4, rows=1000, width=8):
    return [str(a) for a in ("make-table", directory, "--shards", shards, "--rows-per-shard", rows,
                             "--width", width)]


def assert_generated(directory, shards=4, rows=1000, width=8):
    store = _larkspur.Store(str(directory), shards, rows, width)
    ids = np.arange(shards * rows)
    assert np.array_equal(as_rows(store.fetch(ids), width), table.expected_rows(ids, width))


def test_generated_table_round_trips_through_store(tmp_path):
    assert main(["make-table", str(tmp_path), "--shards", "3",
                 "--rows-per-shard", "1000", "--width", "24"]) == 0
    store = _larkspur.Store(str(tmp_path), 3, 1000, 24)
    ids = [2999, 0, 1500, 1500, 999, 1000]
    got = as_rows(store.fetch(ids), 24)
    assert np.array_equal(got, table.expected_rows(np.array(ids), 24))


def test_npy_table_round_trips_through_store(tmp_path):
    rows = np.arange(70 * 4, dtype=np.float32).reshape(70, 4)
    np.save(tmp_path / "rows.npy", rows)
    out = tmp_path / "t"
    assert main(["make-table", str(out), "--npy", str(tmp_path / "rows.npy"),
                 "--shards", "4"]) == 0
    # 70 rows over 4 shards: 18 rows per shard, the last 2 rows of shard 3 zero.
    store = _larkspur.Store(str(out), 4, 18, 16)
    got = as_rows(store.fetch(list(range(72))), 16, np.float32)
    assert np.array_equal(got[:70], rows)
    assert not got[70:].any()


def test_building_resumes_and_never_uses_a_half_written_shard(tmp_path):
    args = ["make-table", str(tmp_path), "--shards", "4", "--rows-per-shard", "500",
            "--width", "8"]
    assert main(args) == 0
    # Simulate an interrupted run: shard 1 half written, shard 2 never started.
    os.truncate(tmp_path / "shard_1.bin", 1000)
    os.rename(tmp_path / "shard_2.bin", tmp_path / "shard_2.bin.partial")
    before = os.stat(tmp_path / "shard_0.bin").st_mtime_ns
    result = run_cli(*args)
    assert result.returncode == 0, result.stderr
    assert "wrote 2 shard(s), 2 already complete" in result.stdout
    assert os.stat(tmp_path / "shard_0.bin").st_mtime_ns == before
    store = _larkspur.Store(str(tmp_path), 4, 500, 8)
    ids = np.arange(2000)
    assert np.array_equal(as_rows(store.fetch(ids.tolist()), 8), table.expected_rows(ids, 8))


def test_inspect_reports_short_and_missing_shards(tmp_path):
    assert main(["make-table", str(tmp_path), "--shards", "3", "--rows-per-shard", "100",
                 "--width", "16"]) == 0
    os.truncate(tmp_path / "shard_1.bin", 16 * 40)
    os.rename(tmp_path / "shard_2.bin", tmp_path / "badge_2.bin")
    os.remove(tmp_path / "shard_0.bin")
    result = run_cli("inspect", str(tmp_path))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[1].startswith("file system: ")
    assert lines[3].split() == ["0", "-", "0", "0", "missing"]
    assert lines[4].split() == ["1", "shard_1.bin", "640", "40", "short"]
    assert lines[5].split() == ["2", "badge_2.bin", "1600", "100", "ok"]
    assert lines[-1] == "summary: 1 ok, 1 short, 0 long, 1 missing"


@pytest.mark.parametrize(
    "args, text",
    [
        (["make-table"], "the following arguments are required: DIR"),
        (["make-table", "d", "--width", "0"], "expected a positive integer, got '0'"),
        (["make-table", "d", "--shards", "x"], "expected a positive integer, got 'x'"),
        (["inspect", "/nonexistent-dir"], "--shards, --rows-per-shard and --width are needed"),
        (["demo", "--batch", "-1"], "expected a positive integer, got '-1'"),
        (["demo", "--cache-bytes", "4XB"], "expected a size such as 4096, 512MiB or 4GiB, got"),
        (["demo", "--text", "a", "--trace", "b"], "argument --trace: not allowed with argument"),
        (["bench", "--only", "nope"], "invalid choice: 'nope'"),
        (["frobnicate"], "invalid choice: 'frobnicate'"),
        ([], "the following arguments are required: COMMAND"),
    ],
)
def test_bad_arguments_exit_with_code_2(args, text):
    result = run_cli(*args)
    assert result.returncode == 2
    assert text in result.stderr


@pytest.mark.parametrize(
    "text, size",
    [("4096", 4096), ("0", 0), ("512MiB", 512 << 20), ("4GiB", 4 << 30), ("4 gib", 4 << 30),
     ("1GB", 10**9), ("1.5kB", 1500), ("1.0000001KiB", 1024), ("2TB", 2 * 10**12),
     ("7B", 7), (".5MiB", 1 << 19), ("5.", 5), ("", None), ("MiB", None), ("-1", None),
     ("1e3", None), ("4XB", None), ("1.5.2GB", None), ("4 Gi B", None)],
)
def test_sizes_take_si_and_binary_units(tmp_path, text, size):
    # The demo reads a size before it builds its table; the Table reads the
    # same text the same way.
    (tmp_path / "shard_0.bin").write_bytes(bytes(64))
    if size is None:
        with pytest.raises(argparse.ArgumentTypeError, match="expected a size such as"):
            parse_size(text)
        with pytest.raises(ValueError, match="cache_bytes must be a number of bytes"):
            larkspur.Table(str(tmp_path), shards=1, rows_per_shard=8, width=8, cache_bytes=text)
    else:
        assert parse_size(text) == size
        with larkspur.Table(str(tmp_path), shards=1, rows_per_shard=8, width=8,
                            cache_bytes=text if size > 4096 or not size else 0) as t:
            assert t.cache_bytes == (size if size > 4096 or not size else 0)


def test_generator_is_the_one_its_name_stands_for():
    # Tables on disk are reused by name: a changed function needs a new name.
    assert table.GENERATOR == "rowid-mix64-v1"
    rows = table.expected_rows(np.array([0, 1, 2**64 - 1], dtype=np.uint64), 12)
    assert rows.tobytes().hex() == ("9b98dea43a04177c4fa032ef7b7e0c4532f3ebe8"
                                    "91ded384af087a9b7154c8a0525dbad4")
    assert table.expected_rows(np.array([7]), 3).tobytes() == bytes.fromhex("a5d96e")


def without_generator(meta):
    # As written before the version and the generator were named.
    return {k: v for k, v in meta.items() if k not in ("generator", "version")}


@pytest.mark.parametrize("edit, args, taken", [
    (None, [], True),
    # Written before the generator was named: the same generator's rows.
    (without_generator, [], True),
    ({"generator": "splitmix64-v1"}, [], False),
    ({"source": "npy:/x.npy"}, [], False),
    (None, ["--width", "16"], False),
])
def test_make_table_takes_over_only_its_own_table(tmp_path, edit, args, taken):
    assert main(make_args(tmp_path, 1, 10)) == 0
    path = tmp_path / table.META_NAME
    written = {"version": 1, "shards": 1, "rows_per_shard": 10, "width": 8,
               "source": "generator", "generator": table.GENERATOR}
    assert json.loads(path.read_text()) == written
    if edit is not None:
        path.write_text(json.dumps(edit(written) if callable(edit) else {**written, **edit}))
    result = run_cli(*make_args(tmp_path, 1, 10), *args)
    if taken:
        assert result.returncode == 0, result.stderr
        assert json.loads(path.read_text()) == written
    else:
        assert_error(result, 2, "holds a different table")


NO_NUMPY = "import sys; sys.modules['numpy'] = None"


@pytest.mark.parametrize(
    "args, status, text",
    [
        (["--help"], 0, "inspect"),
        (["inspect", "{tmp}"], 0, "summary: 4 ok, 0 short, 0 long, 0 missing"),
        (["demo", "--table", "{tmp}"], 2, "numpy is needed for this command"),
        (["bench", "--quick"], 2, "numpy is needed for this command"),
        (["make-table", "{tmp}/new"], 2, "numpy is needed for this command"),
    ],
)
def test_numpy_is_needed_only_by_the_commands_that_use_it(tmp_path, args, status, text):
    assert main(make_args(str(tmp_path))) == 0
    result = run_cli(*[a.format(tmp=tmp_path) for a in args], prelude=NO_NUMPY)
    assert result.returncode == status, result.stderr
    assert text in (result.stdout if status == 0 else result.stderr.splitlines()[-1])
    assert "Traceback" not in result.stderr


@pytest.mark.python_side
@pytest.mark.parametrize("inside_checkout", [True, False])
def test_bench_runs_the_scripts_of_the_checkout_it_is_started_in(tmp_path, inside_checkout):
    import larkspur

    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    package_root = os.path.dirname(os.path.dirname(os.path.dirname(larkspur.__file__)))
    if not inside_checkout and os.path.isdir(os.path.join(package_root, "bench")):
        pytest.skip("larkspur is imported from a checkout, not installed")
    cwd = os.path.join(root, "tests") if inside_checkout else tmp_path
    result = run_cli("bench", "--quick", "--only", "rowids", cwd=cwd, timeout=600)
    if inside_checkout:
        assert result.returncode == 0, result.stderr
        assert "##### benchmark: rowids" in result.stdout
    else:
        assert_error(result, 1, "are not installed with the package: run `larkspur bench`"
                                " inside a checkout")


def test_array_views_share_memory():
    data = bytes(range(32))
    view = as_rows(data, 16, np.uint32)
    assert view.shape == (2, 4)
    assert not view.flags.writeable and not view.flags.owndata
    with pytest.raises(ValueError):
        as_rows(data, 12, np.uint64)
    assert rowids_array(_larkspur.rowids_for_seq([1, 2], 1)).shape == (2, 16)


def demo_hit_rates(tokens, batch, prefill, decode):
    """The hit rates (all heads, 0-7, 8-15) of the demo's larkspur runs per
    phase, for a cache that evicts nothing: a row misses once, at its first
    call."""
    seqs = np.stack([tokens[b * (prefill + decode):(b + 1) * (prefill + decode)]
                     for b in range(batch)]).astype(np.int64)
    ids = {"prefill": larkspur.rowids(seqs[:, :prefill]),  # one chunk a call, no history
           "decode": larkspur.rowids(seqs[:, prefill:], seqs[:, prefill - 2:prefill])}
    out = {}
    for heads in (slice(None), slice(0, 8), slice(8, 16)):
        seen = set()
        for phase, rows in ids.items():
            rows = rows[..., heads].ravel().tolist()
            new = set(rows) - seen
            seen |= new
            out.setdefault(phase, []).append(f"{100 * (1 - len(new) / len(rows)):.1f}")
    return out


@pytest.fixture(scope="module")
def demo_table(tmp_path_factory):
    """A directory for the demo's table at width 1, shared by the demo runs
    (the full 128-shard grid: 320 MB)."""
    return tmp_path_factory.mktemp("demo-table")


# The demo's reads are the engine's, which the sanitizer run tests directly;
# under it the demo alone takes ten seconds.
@pytest.mark.skipif(under_asan(), reason="the engine's reads are tested directly there")
@pytest.mark.parametrize("source", ["zipf", "trace"])
def test_demo_runs_end_to_end_and_verifies(tmp_path, demo_table, source):
    args = ["--batch", "2", "--prefill", "16", "--decode", "4"]
    if source == "trace":
        tokens = write_token_trace(tmp_path / "trace.u32", 2 * 20 + 3)
        args += ["--trace", tmp_path / "trace.u32"]
    result = run_cli("demo", "--table", demo_table, "--width", "1", *args, timeout=600)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    for run in ("larkspur cold", "larkspur warm", "Store.fetch cold", "Store.fetch warm",
                "memmap cold", "memmap warm"):
        assert run in out
    assert "all bytes correct" in out
    assert "throughput ratio" in out
    # A trace gets a row cache of 1% of the table (3.2 MB: no eviction here),
    # empty at the start of each run; the other runs have no hit rates.
    assert ("cache hit %" in out) == ("row cache:" in out) == (source == "trace")
    if source == "trace":
        assert f"cache    {320_001_536 // 100:,} bytes (1% of the table)" in out
        want = demo_hit_rates(tokens, 2, 16, 4)
        rows = [line.split() for line in out.splitlines()]
        rows = [r for r in rows if len(r) == 14 and r[2] in want]  # run (2 words), phase, ...
        assert len(rows) == 12
        for row in rows:
            assert row[-3:] == (want[row[2]] if row[0] == "larkspur" else ["-"] * 3), row
        return
    # A complete table is still refused when it names another generator.
    meta = demo_table / table.META_NAME
    written = meta.read_text()
    meta.write_text(json.dumps({**json.loads(written), "generator": "other"}))
    try:
        result = run_cli("demo", "--table", demo_table, "--width", "1")
    finally:
        meta.write_text(written)
    assert_error(result, 2, "holds a different table")


@pytest.mark.python_side
def test_bench_quick_runs(tmp_path):
    out = tmp_path / "figures.json"
    out.write_text("an older and longer file " * 1000)
    result = run_cli("bench", "--quick", "--json", out, timeout=600)
    assert result.returncode == 0, result.stderr + result.stdout
    for name in ("rowids", "fetch", "view", "pages", "engine"):
        assert f"##### benchmark: {name}" in result.stdout
    assert "Traceback" not in result.stderr
    figures = json.loads(out.read_text())
    assert sorted(figures) == ["engine", "fetch", "pages", "rowids", "view"]
    # The engine benchmark judges every target it ran; --quick skips the largest
    # requests, and the earlier build is only measured when given (--before).
    verdicts = {t["target"]: t["met"] for t in figures["engine"]["targets"]}
    assert "every call's bytes verified" in result.stdout
    assert {type(met) for met in verdicts.values()} == {bool, type(None)}
    assert sorted(t for t, met in verdicts.items() if met is None) == sorted(
        [f"warm w={w} {n} rows: gather vs Store.fetch before the engine"
         for w in (160, 2560) for n in (16, 65536)]
        + ["lookup 1 token w=160 vs rowids_for_seq_with_history + Store.fetch before the engine",
           "Store.fetch 16 warm rows w=160: now vs before the engine"])


@pytest.mark.skipif(shutil.which("fio") is None, reason="fio is not installed")
@pytest.mark.python_side
@pytest.mark.parametrize("options", [
    {"jobs": 32, "drop_cache": True},  # bench/fetch.py
    {"jobs": 32, "direct": True},  # bench/view.py
    {"engine": "io_uring", "depth": 64, "ramp": 1},  # bench/pages.py, warm
])
def test_fio_runner_measures_the_benchmark_files(tmp_path, options):
    run_fio = bench_module("common").run_fio

    paths = [tmp_path / "a.bin", tmp_path / "b.bin"]
    for p in paths:
        p.write_bytes(os.urandom(1 << 20))
    got = run_fio(paths, 1, **options)
    assert got["iops"] > 0 and got["lat_mean_us"] > 0, got
    assert "note" in run_fio(paths, 1, engine="no-such-engine")


def test_round_robin_shuffles_the_calls_and_stops_those_over_budget():
    import gc
    import time

    round_robin = bench_module("common").round_robin
    order, prepared, checked = [], [], []

    def call(name, pause):
        def fn():
            order.append(name)
            time.sleep(pause)
            return name
        return fn

    calls = {"a": call("a", 0), "b": call("b", 0), "slow": call("slow", 0.02)}
    times = round_robin(calls, 40, prepare=prepared.append,
                        check=lambda name, got: checked.append((name, got)), budget=0.03)
    assert {name: len(t) for name, t in times.items()} == {"a": 40, "b": 40, "slow": 2}
    assert min(times["slow"]) >= 0.02
    assert prepared == order and checked == [(name, name) for name in order]
    # Each round runs every live call once, in an order that changes: a
    # fixed order would make one call always pay for its predecessor.
    rounds = [order[0:3], order[3:6]] + [order[i:i + 2] for i in range(6, len(order), 2)]
    assert all(sorted(r) == ["a", "b", "slow"] for r in rounds[:2])
    assert all(sorted(r) == ["a", "b"] for r in rounds[2:])
    assert {tuple(r) for r in rounds[2:]} == {("a", "b"), ("b", "a")}
    assert gc.isenabled()
    # Once every call is over budget the rounds end.
    prepared.clear()
    assert len(round_robin({"slow": calls["slow"]}, 100, prepare=prepared.append,
                           budget=0)["slow"]) == 2
    assert prepared == ["slow", "slow"]


@pytest.mark.parametrize("width", [160, 12])
@pytest.mark.parametrize("damage", [None, "flip", "short", "long"])
@pytest.mark.parametrize("digest", [False, True], ids=["rows", "digest"])
def test_engine_benchmark_rejects_any_wrong_byte(width, damage, digest):
    engine = bench_module("engine")
    check_rows = engine.check_rows
    want = table.expected_rows(np.array([3, 99, 7], dtype=np.uint64), width)
    got = bytearray(want.tobytes())
    if damage == "flip":
        got[width + 5] ^= 1
    elif damage == "short":
        del got[-1]
    elif damage == "long":
        got += b"\0"
    if digest:  # what the earlier build's child process reports
        import hashlib
        got = engine.Digest(hashlib.blake2b(got).hexdigest())
    if damage is None:
        check_rows("ours", got, want)
    else:
        with pytest.raises(SystemExit, match="ours returned wrong bytes"):
            check_rows("ours", got, want)


@pytest.mark.parametrize(
    "content, text",
    [
        ('{"shards": "3", "rows_per_shard": 10, "width": 8}', "\"shards\" is '3', not a positive"),
        ("[1, 2]", "not a JSON object"),
        ("2.5", "not a JSON object"),
        ('{"shards": 3, "rows_per_shard": -10, "width": 8}', '"rows_per_shard" is -10, not'),
        ('{"shards": true, "rows_per_shard": 10, "width": 8}', '"shards" is True, not'),
        ('{"shards": 3, "rows_per_shard": 10, "width": ' + str(2**63) + "}",
         f'"width" is {2**63}, not'),
        ('{"shards": 3, "rows_per_shard": 10}', 'no "width"'),
        (b'{"shards": "\xff"}', "not UTF-8 text"),
        ("shards=3", "not JSON (Expecting value"),
        (None, "cannot read"),  # the metadata path is a directory
    ],
)
def test_inspect_reports_malformed_metadata_in_one_line(tmp_path, content, text):
    meta = tmp_path / table.META_NAME
    if content is None:
        meta.mkdir()
    else:
        meta.write_bytes(content if isinstance(content, bytes) else content.encode())
    assert_error(run_cli("inspect", tmp_path), 1, f"{meta}: {text}" if content else text)
    # Metadata is only read for what the command line leaves out.
    full = run_cli("inspect", tmp_path, "--shards", 2, "--rows-per-shard", 10, "--width", 8)
    assert full.returncode == 0, full.stderr
    assert full.stdout.endswith("summary: 0 ok, 0 short, 0 long, 2 missing\n")


def test_inspect_marks_shard_names_that_are_not_files(tmp_path):
    (tmp_path / "shard_0.bin").mkdir()
    os.mkfifo(tmp_path / "shard_1.bin")
    (tmp_path / "badge_2.bin").write_bytes(bytes(80))
    result = run_cli("inspect", tmp_path, "--shards", 3, "--rows-per-shard", 10, "--width", 8)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert [line.split() for line in lines[3:6]] == [
        ["0", "shard_0.bin", "0", "0", "not-a-file"],
        ["1", "shard_1.bin", "0", "0", "not-a-file"],
        ["2", "badge_2.bin", "80", "10", "ok"],
    ]
    assert lines[-1] == "summary: 1 ok, 0 short, 0 long, 0 missing, 2 not-a-file"


# Stops the child inside the write loop once shard 0 is in place and shard 1
# written, so that the interrupt lands in a running make-table however fast
# the machine is.
STALL_IN_SHARD_1 = """
import signal, sys, time
from larkspur import progress
signal.signal(signal.SIGINT, signal.default_int_handler)  # even if started ignored
update = progress.Progress.update
def stalled(self, done):
    update(self, done)
    if done >= 2 * 8000:
        print("stalled", flush=True)
        time.sleep(600)
progress.Progress.update = stalled
"""


def test_interrupted_make_table_exits_130_and_resumes(tmp_path):
    child = subprocess.Popen(cli_argv(*make_args(tmp_path), prelude=STALL_IN_SHARD_1),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "stalled\n"
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=120)
    finally:
        child.kill()
    assert_error(subprocess.CompletedProcess([], child.returncode, "", err), 130, "interrupted")
    assert sorted(os.listdir(tmp_path)) == [table.META_NAME, "shard_0.bin"]
    result = run_cli(*make_args(tmp_path))
    assert result.returncode == 0, result.stderr
    assert "wrote 3 shard(s), 1 already complete" in result.stdout
    assert_generated(tmp_path)


def test_full_disk_fails_in_one_line_and_leaves_no_claim(tmp_path):
    def limit_file_size():
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))

    result = run_cli(*make_args(tmp_path), preexec_fn=limit_file_size)
    assert_error(result, 1, f"{tmp_path}/shard_0.bin.partial: File too large")
    assert os.listdir(tmp_path) == []
    assert main(make_args(str(tmp_path), width=16)) == 0
    assert_generated(tmp_path, width=16)


@pytest.mark.parametrize(
    "args, status, text",
    [
        (f"{{tmp}}/t --shards 1 --rows-per-shard 1 --width {2**62}", 1, "the table needs"),
        (f"{{tmp}}/t --shards 1 --rows-per-shard 1 --width {2**64}", 2, "larger than the largest"),
        (f"{{tmp}}/t --shards {2**33} --rows-per-shard {2**32}", 2, "than 2**64 row ids"),
        ("{tmp}/t --npy {tmp}/one.npy", 2, "holds a single value"),
        ("{tmp}/t --npy {tmp}/empty.npy", 2, "holds no rows"),
        ("{tmp}/t --npy {tmp}/flat.npy", 2, "rows of 0 bytes"),
        ("{tmp}/t --npy {tmp}/a.npz", 2, "not a .npy file"),
        ("{tmp}/t --npy {tmp}/none.npy", 2, "cannot read {tmp}/none.npy: No such file"),
        ("{tmp}/one.npy", 2, "{tmp}/one.npy is not a directory"),
        ("{tmp}/one.npy/t", 1, "{tmp}/one.npy/t: Not a directory"),
    ],
)
def test_make_table_refuses_what_it_cannot_write_before_writing(tmp_path, args, status, text):
    np.save(tmp_path / "one.npy", np.float32(1))
    np.save(tmp_path / "empty.npy", np.zeros((0, 4)))
    np.save(tmp_path / "flat.npy", np.zeros((5, 0)))
    np.savez(tmp_path / "a.npz", a=np.zeros(3))
    result = run_cli("make-table", *args.format(tmp=tmp_path).split())
    assert_error(result, status, text.format(tmp=tmp_path))
    # Nothing written: the right command still works in the same directory.
    assert not (tmp_path / "t").exists()
    assert main(make_args(str(tmp_path / "t"))) == 0
    assert_generated(tmp_path / "t")


DEMO = "demo --width 1 --table {tmp}/t "
BENCH = "bench --quick --only rowids "


@pytest.mark.parametrize(
    "args, prelude, status, text",
    [
        (DEMO + "--plot {tmp}/no/lat.png", "", 1, "cannot write {tmp}/no/lat.png: No such file"),
        (DEMO + "--plot {tmp}/lat.png", "import sys; sys.modules['matplotlib'] = None", 2,
         "--plot needs matplotlib"),
        (DEMO + "--text {tmp}/none.txt", "", 1, "{tmp}/none.txt: No such file or directory"),
        (DEMO + "--text /dev/null", "", 1, "/dev/null holds no tokens"),
        (DEMO + "--trace {tmp}/none.u32", "", 1, "{tmp}/none.u32: No such file or directory"),
        (DEMO + "--trace {tmp}/in/odd.u32", "", 1, "{tmp}/in/odd.u32 is not a token trace: its"
         " 4,098 bytes are not a whole number of 4-byte token ids"),
        (DEMO + "--trace /dev/null", "", 1, "/dev/null holds no tokens"),
        (DEMO + "--trace {tmp}/in", "", 1, "{tmp}/in: Is a directory"),
        (DEMO + "--table {tmp}/other", "", 2, "holds a different table"),
        (BENCH + "--json {tmp}/no/out.json", "", 1, "cannot write {tmp}/no/out.json: No such"),
        (BENCH + "--json {tmp}", "", 1, "cannot write {tmp}: Is a directory"),
    ],
)
def test_inputs_and_outputs_are_checked_before_the_run(tmp_path, args, prelude, status, text):
    assert main(make_args(str(tmp_path / "other"), 1, 10, 16)) == 0
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "odd.u32").write_bytes(bytes(4098))
    result = run_cli(*args.format(tmp=tmp_path).split(), prelude=prelude, timeout=600)
    assert_error(result, status, text.format(tmp=tmp_path))
    assert "#####" not in result.stdout and "all bytes correct" not in result.stdout
    # No table built, no output file left.
    assert sorted(os.listdir(tmp_path)) == ["in", "other"]


def test_closed_output_pipe_ends_quietly(tmp_path):
    child = subprocess.Popen(cli_argv("inspect", tmp_path, "--shards", 200_000,
                                      "--rows-per-shard", 1, "--width", 1),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    child.stdout.readline()
    child.stdout.close()
    err = child.stderr.read()
    assert child.wait(timeout=120) == 1
    assert err == b""


@pytest.mark.python_side
def test_engine_benchmark_times_an_earlier_build_in_a_child(tmp_path):
    # The current interpreter stands in for one with an earlier build.
    engine = bench_module("engine")
    table.write_table(str(tmp_path), table.Geometry(engine.SHARDS, 4, 24),
                      table.generator_source(24), table.GENERATOR_SOURCE)
    ids = [5, 511, 5, 0]
    want = table.expected_rows(np.array(ids, dtype=np.uint64), 24)
    before = engine.Before(sys.executable)
    try:
        assert before.module == _larkspur.__file__
        key = before.store(str(tmp_path), 4, 24)
        assert before.store(str(tmp_path), 4, 24) == key  # opened once
        call = before.call("fetch", key, lambda: {"ids": ids})
        times = bench_module("common").round_robin({"before": call}, 3,
                                                   check=lambda _, got: engine.check_rows(
                                                       "before", got, want))
        assert len(times["before"]) == 3 and all(0 < t < 1 for t in times["before"])
    finally:
        before.close()
    assert before.proc.returncode == 0


MOUNTINFO = (
    "22 1 0:21 / / rw - ext4 /dev/vda rw\n"
    "30 22 0:40 / /mnt/tables rw - fuse.glusterfs 10.213.0.1:/ngram rw\n"
    "31 22 0:41 / /mnt/tables/old rw - nfs4 server:/export rw\n"
    "32 22 0:42 / /mnt/with\\040space rw - ceph mon:/ rw\n"
    "33 22 0:43 / /mnt/tables rw - xfs /dev/vdb rw\n"  # mounted over the first
)


@pytest.mark.parametrize("path, mount", [
    ("/mnt/tables/ngram", ("/mnt/tables", "xfs", "/dev/vdb")),
    ("/mnt/tables/old/x", ("/mnt/tables/old", "nfs4", "server:/export")),
    ("/mnt/tablesx", ("/", "ext4", "/dev/vda")),
    ("/mnt/with space/t", ("/mnt/with space", "ceph", "mon:/")),
])
def test_mount_of_finds_the_mount_holding_a_path(tmp_path, path, mount):
    from larkspur import machine
    info = tmp_path / "mountinfo"
    info.write_text(MOUNTINFO)
    assert machine.mount_of(path, str(info)) == mount
    assert machine.mount_of(path, str(tmp_path / "absent")) is None


@pytest.mark.parametrize("fstype, args, warned", [
    ("ext4", [], []),
    ("fuse.glusterfs", [], ["no row cache"]),
    ("fuse.glusterfs", ["--queue-depth", "16"], ["queue_depth=16", "no row cache"]),
    ("nfs4", ["--queue-depth", "256", "--cache-bytes", "1GiB"], []),
    ("ceph", ["--queue-depth", "32", "--cache-bytes", "1GiB"], ["queue_depth=32"]),
])
def test_inspect_says_where_a_table_lives(tmp_path, monkeypatch, capsys, fstype, args, warned):
    from larkspur import machine
    assert main(["make-table", str(tmp_path), "--shards", "2", "--rows-per-shard", "10",
                 "--width", "8"]) == 0
    monkeypatch.setattr(machine, "mount_of", lambda p: ("/mnt/t", fstype, "host:/vol"))
    capsys.readouterr()
    assert main(["inspect", str(tmp_path), *args]) == 0
    lines = capsys.readouterr().out.splitlines()
    where = [line for line in lines if line.startswith("file system: ")]
    assert where == [f"file system: {fstype} mounted at /mnt/t from host:/vol ("
                     + ("a local file system)" if fstype == "ext4" else
                        "a network file system)")]
    warnings = [line for line in lines if line.startswith("warning: ")]
    assert len(warnings) == len(warned)
    assert all(w in line for w, line in zip(warned, warnings))
