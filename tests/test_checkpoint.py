"""Tables read in place from safetensors checkpoints: files written by the
`safetensors` package, rows compared with numpy's view of the same tensors."""

import asyncio
import errno
import json
import os
import re
import struct

import numpy as np
import pytest

import larkspur
from conftest import bench_module, run_cli
from larkspur import Table

safetensors = pytest.importorskip("safetensors")

# dtype name (as the package takes it), bytes an element, what numpy holds
# the raw elements in.
DTYPES = {"bfloat16": (2, np.uint16), "float16": (2, np.float16), "uint8": (1, np.uint8),
          "float8_e4m3fn": (1, np.uint8)}
PATTERN = "model.ngram.shards.{i}.weight"


def save(path, tensors, metadata=None):
    """Writes {name: (dtype name, array of raw elements, shape)} as one
    safetensors file; the arrays' bytes are the tensors' data."""
    specs = {name: safetensors.TensorSpec(dtype=dtype, shape=list(shape),
                                          data_ptr=array.ctypes.data, data_len=array.nbytes)
             for name, (dtype, array, shape) in tensors.items()}
    safetensors.serialize_file(specs, str(path), metadata=metadata)


class Checkpoint:
    """A checkpoint of `shards` shard tensors of (rows, elems) elements of
    `dtype` (the last `short` rows shorter), among other tensors, laid out
    as one file or as several files with an index."""

    def __init__(self, root, layout, dtype="bfloat16", shards=4, rows=300, elems=40, short=0,
                 seed=0):
        rng = np.random.default_rng(seed)
        size, held = DTYPES[dtype]
        self.width = elems * size
        self.rows = rows
        self.shards = []
        tensors = {}
        for i in range(shards):
            n = rows - short if i == shards - 1 else rows
            raw = rng.integers(0, 256, (n, self.width), dtype=np.uint8)
            self.shards.append(raw)
            tensors[PATTERN.format(i=i)] = (dtype, raw.view(held), (n, elems))
        # Tensors around the shards: their bytes must never show in a row.
        ones = np.full((7, 13), 0xff, np.uint8)
        tensors["lm_head.weight"] = ("uint8", ones, (7, 13))
        tensors["model.ngram.scale"] = ("float32", np.ones(3, np.float32), (3,))
        tensors["model.ngram.flags"] = ("uint8", np.ones(5, np.uint8), (5,))
        if layout == "one-file":
            self.path = str(root / "model.safetensors")
            save(self.path, tensors, {"format": "pt"})
            return
        # Several files (shards split across them, out of order), and an
        # index mapping each tensor to its file.
        self.path = str(root)
        names = sorted(tensors, reverse=True)
        files = {f"model-{k + 1:05d}-of-00003.safetensors": names[k::3] for k in range(3)}
        weight_map = {}
        for file, held_names in files.items():
            save(root / file, {n: tensors[n] for n in held_names})
            weight_map.update({n: file for n in held_names})
        (root / "model.safetensors.index.json").write_text(
            json.dumps({"metadata": {"total_size": 0}, "weight_map": weight_map}))

    def model(self, ids):
        """numpy's view of the rows: zeros past a short shard's end."""
        out = np.zeros((len(ids), self.width), np.uint8)
        for k, r in enumerate(ids):
            shard = self.shards[r // self.rows]
            if r % self.rows < len(shard):
                out[k] = shard[r % self.rows]
        return out


def open_table(ckpt, **kw):
    try:
        return Table.from_safetensors(ckpt.path, PATTERN, **kw)
    except OSError as e:
        if kw.get("direct") is True and e.errno == errno.EINVAL:
            pytest.skip("no O_DIRECT on this file system")
        raise


# How a Table reads: buffered on its ring, direct, on the pool, through
# its row cache.
READERS = [{}, {"direct": True}, {"queue_depth": 0}, {"cache_bytes": "256KiB"}]


@pytest.mark.parametrize("layout", ["one-file", "index"])
@pytest.mark.parametrize("dtype, short", [("bfloat16", 0), ("float16", 0), ("uint8", 113),
                                          ("float8_e4m3fn", 299)])
def test_rows_equal_the_tensors(tmp_path, layout, dtype, short):
    ckpt = Checkpoint(tmp_path, layout, dtype, short=short)
    rng = np.random.default_rng(1)
    total = 4 * ckpt.rows
    # Small requests (read on the calling thread), large ones (the pool or
    # the engine), both ends of every shard and the short shard's tail.
    edges = [r for i in range(4) for r in (i * ckpt.rows, (i + 1) * ckpt.rows - 1)]
    requests = [edges, rng.integers(0, total, 16), rng.integers(0, total, 3000),
                np.arange(total)]
    for kw in READERS:
        with open_table(ckpt, **kw) as t:
            assert (t.shards, t.rows_per_shard, t.width) == (4, ckpt.rows, ckpt.width)
            for ids in requests:
                want = ckpt.model(ids)
                assert np.array_equal(t.gather(ids), want), kw
                out = np.empty_like(want)
                pending = t.submit(rowids=ids, out=out)
                assert pending.result() is out and np.array_equal(out, want), kw
            ids = requests[1]
            got = asyncio.run(_awaited(t, ids))
            assert np.array_equal(got, ckpt.model(ids))


async def _awaited(t, ids):
    return await t.submit(rowids=ids)


def test_one_dimensional_bytes_cut_by_width_and_names_in_any_order(tmp_path):
    rng = np.random.default_rng(2)
    shards = [rng.integers(0, 256, 64 * 16, dtype=np.uint8) for _ in range(3)]
    save(tmp_path / "m.safetensors",
         {f"t.{i}": ("uint8", s, s.shape) for i, s in enumerate(shards)})
    with Table.from_safetensors(tmp_path / "m.safetensors", "t.{i}", width=16) as t:
        assert (t.shards, t.rows_per_shard, t.width) == (3, 64, 16)
        flat = np.concatenate(shards).reshape(-1, 16)
        ids = rng.integers(0, 192, 500)
        assert np.array_equal(t.gather(ids), flat[ids])
    with Table.from_safetensors(str(tmp_path / "m.safetensors"), ["t.2", "t.0"], width=32) as t:
        assert (t.shards, t.rows_per_shard, t.width) == (2, 32, 32)
        assert np.array_equal(t.gather([0, 32]), np.stack([shards[2][:32], shards[0][:32]]))


@pytest.mark.parametrize("tensors, kw, error, text", [
    # The reader's own refusals reach Python as they are (the C++ tests
    # have the rest); then what the binding refuses.
    ("nothing.{i}", {}, ValueError, "no tensor is named nothing.0"),
    (["model.ngram.shards.0.weight", "absent"], {}, ValueError, "tensor absent is not in"),
    ("model.ngram.flags", {}, ValueError, "needs width="),
    (7, {}, TypeError, "tensors must be a str"),
    ([b"x"], {}, TypeError, "tensors must be str"),
    ([], {}, ValueError, "names no tensor"),
    (PATTERN, {"direct": "yes"}, ValueError, 'direct must be False, True or "auto"'),
])
def test_bad_tensors_are_refused_by_name(tmp_path, tensors, kw, error, text):
    ckpt = Checkpoint(tmp_path, "one-file", "uint8", shards=2, rows=20, elems=8)
    with pytest.raises(error, match=text):
        Table.from_safetensors(ckpt.path, tensors, **kw)


def _header(path):
    data = open(path, "rb").read()
    n = struct.unpack("<Q", data[:8])[0]
    return data, n, json.loads(data[8:8 + n])


def _rewrite(path, header, data, n):
    text = json.dumps(header).encode()
    with open(path, "wb") as f:
        f.write(struct.pack("<Q", len(text)) + text + data[8 + n:])


@pytest.mark.parametrize("damage, text, listed", [
    (lambda h, size: h["model.ngram.shards.1.weight"].update(shape=[20, 2, 4]),
     "tensor model.ngram.shards.1.weight: shape [20, 2, 4] is not 2-D", True),
    (lambda h, size: h["lm_head.weight"].update(data_offsets=[size, size + 91]),
     "tensor lm_head.weight: data ends past the file's end", False),
    (lambda h, size: h["model.ngram.shards.1.weight"].update(
        data_offsets=h["model.ngram.shards.0.weight"]["data_offsets"]), "overlap", False),
])
def test_a_damaged_header_names_its_file_and_tensor(tmp_path, damage, text, listed):
    ckpt = Checkpoint(tmp_path, "one-file", "uint8", shards=2, rows=20, elems=8)
    data, n, header = _header(ckpt.path)
    damage(header, len(data))
    _rewrite(ckpt.path, header, data, n)
    with pytest.raises(ValueError, match=re.escape(text)) as raised:
        Table.from_safetensors(ckpt.path, PATTERN)
    assert ckpt.path in str(raised.value)
    # A tensor of any shape is listed; a header that is not sound is not.
    if listed:
        assert len(larkspur.checkpoint_tensors(ckpt.path)) == len(header) - 1
    else:
        with pytest.raises(ValueError, match=re.escape(text)):
            larkspur.checkpoint_tensors(ckpt.path)


def test_refresh_reads_a_rewritten_checkpoint(tmp_path):
    ckpt = Checkpoint(tmp_path, "index", "uint8", seed=3)
    with Table.from_safetensors(ckpt.path, PATTERN, cache_bytes="1MiB") as t:
        ids = np.arange(4 * ckpt.rows)
        assert np.array_equal(t.gather(ids), ckpt.model(ids))
        assert t.refresh() is False
        # New weights, published by renaming new files into place.
        other = tmp_path / "next"
        other.mkdir()
        again = Checkpoint(other, "index", "uint8", seed=4)
        for name in os.listdir(other):
            os.replace(other / name, tmp_path / name)
        assert t.refresh() is True
        assert np.array_equal(t.gather(ids), again.model(ids))
        # Tensors of another shape make another table.
        Checkpoint(other, "index", "uint8", rows=301, seed=5)
        for name in os.listdir(other):
            os.replace(other / name, tmp_path / name)
        with pytest.raises(ValueError, match="now has another geometry"):
            t.refresh()
        assert np.array_equal(t.gather(ids), again.model(ids))


def test_checkpoint_tensors_lists_every_tensor(tmp_path):
    ckpt = Checkpoint(tmp_path, "index", "bfloat16", shards=3, rows=10, elems=4)
    listed = larkspur.checkpoint_tensors(ckpt.path)
    assert sorted(t["name"] for t in listed) == sorted(
        [PATTERN.format(i=i) for i in range(3)]
        + ["lm_head.weight", "model.ngram.scale", "model.ngram.flags"])
    for t in listed:
        data, n, header = _header(t["file"])
        begin, end = header[t["name"]]["data_offsets"]
        assert (t["begin"], t["end"]) == (8 + n + begin, 8 + n + end)
        assert t["dtype"] == header[t["name"]]["dtype"]
        assert list(t["shape"]) == header[t["name"]]["shape"]


def test_inspect_lists_tensors_and_the_pattern_that_makes_a_table(tmp_path):
    ckpt = Checkpoint(tmp_path, "index", "bfloat16", shards=3, rows=10, elems=4, short=2)
    result = run_cli("inspect", ckpt.path)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert "safetensors checkpoint, 6 tensor(s) in 3 file(s)" in out
    assert "BF16" in out and "[10, 4]" in out and "model-00001-of-00003.safetensors" in out
    assert (f"table: Table.from_safetensors({ckpt.path!r}, {PATTERN!r}):"
            " 3 shards x 10 rows x 8 B") in out


def test_make_table_copies_verifies_and_resumes(tmp_path):
    src = tmp_path / "ckpt"
    src.mkdir()
    ckpt = Checkpoint(src, "one-file", "float16", shards=3, rows=50, elems=8, short=7)
    dest = tmp_path / "table"
    args = ("make-table", dest, "--from-safetensors", ckpt.path, "--tensors", PATTERN)
    first = run_cli(*args)
    assert first.returncode == 0, first.stderr
    assert ("wrote 3 shard(s), 0 already complete; each read back and checked against the"
            " checkpoint") in first.stdout
    os.remove(dest / "shard_1.bin")  # an interrupted run
    again = run_cli(*args)
    assert "wrote 1 shard(s), 2 already complete" in again.stdout
    with Table(str(dest)) as t:
        ids = np.arange(150)
        assert np.array_equal(t.gather(ids), ckpt.model(ids))
    bad = run_cli("make-table", tmp_path / "t2", "--from-safetensors", ckpt.path)
    assert bad.returncode == 2 and "--from-safetensors needs --tensors" in bad.stderr


def test_the_checkpoint_benchmark_runs_and_checks_its_rows(tmp_path, capsys):
    out = tmp_path / "figures.json"
    assert bench_module("checkpoint").main(
        ["--quick", "--dir", str(tmp_path), "--json", str(out)]) == 0
    printed = capsys.readouterr().out
    assert "every row checked" in printed and "checkpoint / directory" in printed
    figures = json.loads(out.read_text())
    assert {"16", "4096"} <= set(figures)
    assert all(f["checkpoint"]["samples"] > 0 for f in figures.values())


def test_make_table_refuses_a_shard_that_reads_back_wrong(tmp_path):
    from larkspur import cli, table
    ckpt = Checkpoint(tmp_path, "one-file", "uint8", shards=2, rows=40, elems=8)
    with Table.from_safetensors(ckpt.path, PATTERN) as t:
        verify = cli._verifier(table.Geometry(t.shards, t.rows_per_shard, t.width), t)
        copy = tmp_path / "shard_1.bin.partial"
        data = bytearray(ckpt.shards[1].tobytes())
        copy.write_bytes(data)
        verify(1, str(copy))
        data[-1] ^= 1
        copy.write_bytes(data)
        with pytest.raises(cli.CommandError, match="differs from the checkpoint's shard 1"):
            verify(1, str(copy))
