"""Stress and soak run of the whole module, every byte verified.

    python tests/soak.py [--seconds 600] [--json FILE]

For a bounded time, 16 reader threads share one Store and one View's thread
and keep their own PageReader or IoUringPageReader; two more threads create
and drop Stores, Views and readers; and one more truncates a copy of a
shard and of the record file to random lengths and grows them back. Every
result must be the exact bytes, the zeros a fetch gives past the end of a
file, or a documented exception; anything else is counted as corrupt. The
run prints calls, verified bytes, errors by kind, peak RSS and the
descriptor and thread counts at start and end, and exits non-zero when a
result was corrupt or an unexpected exception was raised.
"""

import argparse
import collections
import gc
import json
import os
import random
import re
import resource
import sys
import tempfile
import threading
import time

from _larkspur import IoUringPageReader, PageReader, Store, View

SHARDS = 8
ROWS = 2000
WIDTH = 96  # rows cross 4096-byte pages now and then
MUTABLE_SHARD = SHARDS - 1
SLOT = 1000
RECORDS = 600
PAGE = 4096

FETCHERS = 9
PAGE_READERS = 3
URING_READERS = 3  # with the View's thread: 16 readers
CHURNERS = 2

# Exceptions a result may be instead of bytes, by the call that raised it.
DOCUMENTED = {
    "view": re.compile(r"read_exact_at: eof inside buffer|"
                       r"view record index \d+ out of range \(count \d+\)"),
    "pages": re.compile(r"EOF while reading page"),
}


def file_bytes(seed, size):
    return random.Random(seed).randbytes(size)


class Files:
    """The table, the record file and their originals, in `where`."""

    def __init__(self, where):
        self.dir = where
        self.shards = [file_bytes(i, ROWS * WIDTH) for i in range(SHARDS)]
        for i, data in enumerate(self.shards):
            with open(self.shard_path(i), "wb") as f:
                f.write(data)
        self.records = file_bytes(99, SLOT * RECORDS)
        self.record_path = os.path.join(where, "rec.bin")
        with open(self.record_path, "wb") as f:
            f.write(self.records)
        with open(os.path.join(where, "rec.manifest.json"), "w") as f:
            f.write(f'{{"slot_bytes": {SLOT}}}')

    def shard_path(self, i):
        return os.path.join(self.dir, f"shard_{i}.bin")


class Tally:
    """What the threads did, merged under a lock at the end of each call."""

    def __init__(self):
        self.lock = threading.Lock()
        self.calls = collections.Counter()
        self.verified = 0
        self.zero_rows = 0  # rows of the cut shard read as zeros at its end
        self.errors = collections.Counter()
        self.corrupt = []
        self.unexpected = []

    def add(self, kind, verified=0, error=None, corrupt=None):
        with self.lock:
            self.calls[kind] += 1
            self.verified += verified
            if error is not None:
                self.errors[error] += 1
            if corrupt is not None and len(self.corrupt) < 20:
                self.corrupt.append(f"{kind}: {corrupt}")

    def failed(self, kind, e, group=None):
        """Counts exception `e` of a call of `kind`; unexpected unless it is
        one of the documented errors of `group`."""
        self.add(kind, error=error_kind(e))
        if group is None or not documented(group, e):
            with self.lock:
                self.unexpected.append(f"{kind}: {type(e).__name__}: {e}")


def error_kind(e):
    """The message with its numbers taken out: one kind per text."""
    text = re.sub(r"\d+", "N", str(e))
    return text if type(e) is OSError else f"{type(e).__name__}: {text}"


def documented(group, e):
    return type(e) is OSError and DOCUMENTED[group].fullmatch(str(e)) is not None


def zero_tail_prefix(got, want):
    """Whether `got` is a prefix of `want` followed by zeros."""
    k = len(got)
    while k > 0 and got[k - 1] == 0:
        k -= 1
    return got[:k] == want[:k]


def fetcher(files, store, tally, stop, seed):
    rng = random.Random(seed)
    total = SHARDS * ROWS
    while not stop.is_set():
        n = rng.choice((1, 1, 16, 64, 300))
        ids = [rng.randrange(total) for _ in range(n)]
        if n > 1 and rng.random() < 0.3:
            ids += ids[: n // 3]  # duplicates
        try:
            got = store.fetch_one(ids[0]) if len(ids) == 1 else store.fetch(ids)
        except BaseException as e:  # noqa: BLE001 - every exception is a finding
            tally.failed("Store.fetch", e)
            continue
        bad = None
        zeros = 0
        for k, r in enumerate(ids):
            shard, local = divmod(r, ROWS)
            want = files.shards[shard][local * WIDTH:(local + 1) * WIDTH]
            row = got[k * WIDTH:(k + 1) * WIDTH]
            # The truncated shard may end inside or before any row, which
            # then reads as zeros from the end on.
            if row != want:
                if not (shard == MUTABLE_SHARD and zero_tail_prefix(row, want)):
                    bad = f"row id {r} at position {k}"
                    break
                zeros += 1
        tally.add("Store.fetch", verified=len(got), corrupt=bad)
        with tally.lock:
            tally.zero_rows += zeros


def view_reader(files, tally, stop, seed, made):
    rng = random.Random(seed)
    view = View(files.record_path)  # bound to this thread
    count = view.len()
    made.set()
    while not stop.is_set():
        n = rng.choice((1, 3, 4, 40, 200))
        indices = [rng.randrange(count) for _ in range(n)]
        kind = "View.read_record" if n == 1 else "View.read_records"
        try:
            got = view.read_record(indices[0]) if n == 1 else view.read_records(indices)
        except BaseException as e:  # noqa: BLE001
            tally.failed(kind, e, "view")
            continue
        want = b"".join(files.records[i * SLOT:(i + 1) * SLOT] for i in indices)
        tally.add(kind, verified=len(got), corrupt=None if got == want else "records")


def page_reader(files, tally, stop, seed, make):
    rng = random.Random(seed)
    reader = make()
    kind = f"{type(reader).__name__}.read_pages"
    record_fd = os.open(files.record_path, os.O_RDONLY)
    shard_fd = os.open(files.shard_path(0), os.O_RDONLY)
    sources = {record_fd: files.records, shard_fd: files.shards[0]}
    try:
        while not stop.is_set():
            n = rng.choice((1, 8, 64, 300))
            fds = [rng.choice((record_fd, shard_fd)) for _ in range(n)]
            offsets = [rng.randrange(len(sources[fd]) // PAGE + 1) * PAGE for fd in fds]
            try:
                pages = reader.read_pages(fds, offsets)
            except BaseException as e:  # noqa: BLE001
                tally.failed(kind, e, "pages")
                continue
            bad = None
            size = 0
            for fd, o, page in zip(fds, offsets, pages):
                size += len(page)
                # A page is never empty and never other than the file's own
                # bytes; it is short where the file ended, which for the
                # shard that is never cut is known.
                src = sources[fd]
                if (not page or page != src[o:o + len(page)]
                        or fd == shard_fd and len(page) != min(PAGE, len(src) - o)):
                    bad = f"page at {o}"
                    break
            tally.add(kind, verified=size, corrupt=bad)
    finally:
        os.close(record_fd)
        os.close(shard_fd)


def churner(files, tally, stop, seed):
    rng = random.Random(seed)
    while not stop.is_set():
        what = rng.randrange(4)
        try:
            if what == 0:
                s = Store(files.dir, SHARDS - 1, ROWS, WIDTH, rng.choice((0, 1, 4, 32)))
                r = rng.randrange((SHARDS - 1) * ROWS)
                got = s.fetch_one(r)
                want = files.shards[r // ROWS][r % ROWS * WIDTH:][:WIDTH]
                tally.add("churn Store", verified=len(got),
                          corrupt=None if got == want else f"row {r}")
            elif what == 1:
                v = View(files.record_path)
                i = rng.randrange(RECORDS)
                try:
                    got = v.read_record(i)
                except OSError as e:
                    if not documented("view", e):
                        raise
                    tally.add("churn View", error=error_kind(e))
                    continue
                tally.add("churn View", verified=len(got),
                          corrupt=None if got == files.records[i * SLOT:(i + 1) * SLOT]
                          else f"record {i}")
            elif what == 2:
                PageReader(rng.choice((1, 4096, 2**20)))
                tally.add("churn PageReader")
            else:
                r = IoUringPageReader(rng.choice((512, 4096)))
                r.read_pages([], [])
                tally.add("churn IoUringPageReader")
        except BaseException as e:  # noqa: BLE001
            tally.failed("churn", e)


def truncator(files, tally, stop, seed, view_made):
    """Cuts the mutable shard and the record file and grows them back by
    appending their own bytes, so a file always holds a prefix of them.
    Starts once the View has sized itself on the whole record file."""
    rng = random.Random(seed)
    view_made.wait()
    targets = [(files.shard_path(MUTABLE_SHARD), files.shards[MUTABLE_SHARD]),
               (files.record_path, files.records)]
    cycles = 0
    while not stop.is_set():
        for path, data in targets:
            cut = rng.randrange(len(data))
            os.truncate(path, cut)
            time.sleep(rng.random() * 0.002)
            fd = os.open(path, os.O_WRONLY)
            try:
                at = cut
                while at < len(data):
                    step = rng.randrange(1, len(data) // 3)
                    os.pwrite(fd, data[at:at + step], at)
                    at += step
                    time.sleep(rng.random() * 0.001)
            finally:
                os.close(fd)
        cycles += 1
    with tally.lock:
        tally.calls["truncate and regrow"] = cycles


def thread_names():
    names = []
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                names.append(f.read().strip())
        except OSError:
            pass
    return sorted(names)


def process_counts():
    with open("/proc/self/status") as f:
        status = dict(line.split(":", 1) for line in f)
    return {
        "fds": len(os.listdir("/proc/self/fd")),
        "threads": len(os.listdir("/proc/self/task")),
        "rss_kib": int(status["VmRSS"].split()[0]),
        "names": thread_names(),
    }


def settled_counts(start, timeout=2.0):
    """The counts once threads that Python has joined have also left the
    kernel (their rings close in thread-exit destructors after the join)."""
    deadline = time.monotonic() + timeout
    while True:
        now = process_counts()
        done = now["threads"] <= start["threads"] and now["fds"] <= start["fds"]
        if done or time.monotonic() > deadline:
            return now
        time.sleep(0.01)


def run(seconds, where=None):
    """Runs the soak for `seconds`; returns its figures as a dict."""
    with tempfile.TemporaryDirectory(prefix="larkspur-soak-", dir=where) as d:
        files = Files(d)
        # Make the process-wide pieces first, so the start figures include
        # them: the pool and the io_uring probe.
        # (a request of more rows than the calling thread serves alone).
        Store(d, SHARDS, ROWS, WIDTH).fetch(list(range(0, SHARDS * ROWS, ROWS)) * 1100)
        backend = IoUringPageReader().backend
        start = process_counts()
        store = Store(d, SHARDS, ROWS, WIDTH)
        tally = Tally()
        stop = threading.Event()
        view_made = threading.Event()
        roles = ([(fetcher, (files, store, tally, stop, i)) for i in range(FETCHERS)]
                 + [(view_reader, (files, tally, stop, 100, view_made))]
                 + [(page_reader, (files, tally, stop, 200 + i, PageReader))
                    for i in range(PAGE_READERS)]
                 + [(page_reader, (files, tally, stop, 300 + i, IoUringPageReader))
                    for i in range(URING_READERS)]
                 + [(churner, (files, tally, stop, 400 + i)) for i in range(CHURNERS)]
                 + [(truncator, (files, tally, stop, 500, view_made))])
        threads = [threading.Thread(target=fn, args=args, name=fn.__name__)
                   for fn, args in roles]
        began = time.monotonic()
        for t in threads:
            t.start()
        # RSS samples, to show where it settles.
        samples = []
        deadline = began + seconds
        while (now := time.monotonic()) < deadline:
            time.sleep(min(max(seconds / 20, 0.1), deadline - now))
            samples.append(process_counts()["rss_kib"])
        during = process_counts()
        stop.set()
        for t in threads:
            t.join()
        elapsed = time.monotonic() - began
        del store, threads, roles
        gc.collect()
        end = settled_counts(start)
    return {
        "seconds": round(elapsed, 1),
        "backend": backend,
        "reader_threads": FETCHERS + 1 + PAGE_READERS + URING_READERS,
        "calls": dict(sorted(tally.calls.items())),
        "total_calls": sum(v for k, v in tally.calls.items() if k != "truncate and regrow"),
        "verified_bytes": tally.verified,
        "zero_rows": tally.zero_rows,
        "errors": dict(sorted(tally.errors.items())),
        "corrupt": tally.corrupt,
        "unexpected": tally.unexpected,
        "peak_rss_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss,
        "rss_samples_kib": samples,
        "start": start,
        "during": during,
        "end": end,
    }


def print_report(r):
    print(f"soak: {r['seconds']} s, {r['reader_threads']} reader threads, "
          f"page backend {r['backend']}")

    def line(name, value, indent=2):
        print(f"{' ' * indent}{name:<{50 - indent}}{value:>16,}")

    line("calls", r["total_calls"])
    for k, v in r["calls"].items():
        line(k, v, 4)
    line("verified bytes", r["verified_bytes"])
    line("rows read as zeros past a cut end", r["zero_rows"])
    line("errors", sum(r["errors"].values()))
    for k, v in r["errors"].items():
        line(k, v, 4)
    line("corrupt results", len(r["corrupt"]))
    line("unexpected exceptions", len(r["unexpected"]))
    line("peak RSS (KiB)", r["peak_rss_kib"])
    samples = r["rss_samples_kib"]
    if samples:
        half = samples[len(samples) // 2:]
        print(f"  RSS samples (KiB): first {samples[0]:,}, second half "
              f"{min(half):,} to {max(half):,}, last {samples[-1]:,}")
    for when in ("start", "during", "end"):
        c = r[when]
        print(f"  {when:<8} fds {c['fds']:>4}  threads {c['threads']:>4}  "
              f"RSS {c['rss_kib']:>8,} KiB")
    for line in r["corrupt"] + r["unexpected"]:
        print(f"  ! {line}")


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--seconds", type=float,
                   default=float(os.environ.get("LARKSPUR_SOAK_SECONDS", 600)))
    p.add_argument("--json", help="also write the figures to this file")
    p.add_argument("--dir", help="where to make the files (default: $TMPDIR)")
    args = p.parse_args(argv)
    result = run(args.seconds, args.dir)
    print_report(result)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(result, f, indent=1)
    return 1 if result["corrupt"] or result["unexpected"] else 0


if __name__ == "__main__":
    sys.exit(main())
