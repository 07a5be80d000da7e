"""A one-line description of the machine, for report headers."""

from __future__ import annotations

import os
import platform


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def memory_gib() -> float:
    try:
        with open("/proc/meminfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    return int(line.split()[1]) / (1 << 20)
    except OSError:
        pass
    return 0.0


# File systems whose files live on other machines: reads pay a network
# round trip, and several hosts may read (and one replace) the same files.
NETWORK_FS = {"nfs", "nfs4", "ceph", "glusterfs", "fuse.glusterfs", "fuse.ceph", "lustre",
              "gpfs", "cifs", "smb3", "9p", "beegfs", "fuse.sshfs", "fuse.juicefs", "afs",
              "fuse.s3fs", "fuse.gcsfuse", "fuse.rclone"}


def _unescape(field: str) -> str:
    """A mountinfo field with its octal escapes (\\040 for a space) undone."""
    out, i = [], 0
    while i < len(field):
        if field[i] == "\\" and field[i + 1:i + 4].isdigit():
            out.append(chr(int(field[i + 1:i + 4], 8)))
            i += 4
        else:
            out.append(field[i])
            i += 1
    return "".join(out)


def mount_of(path: str, mountinfo: str = "/proc/self/mountinfo") -> tuple[str, str, str] | None:
    """(mount point, file system type, source) of the mount holding `path`:
    the last mounted of those whose mount point is the longest prefix of its
    real path; None when the mount table cannot be read."""
    real = os.path.realpath(path)
    best = None
    try:
        with open(mountinfo, encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
    except OSError:
        return None
    for line in lines:
        left, sep, right = line.partition(" - ")
        fields, tail = left.split(), right.split()
        if not sep or len(fields) < 5 or len(tail) < 2:
            continue
        point = _unescape(fields[4])
        inside = real == point or real.startswith(point.rstrip("/") + "/")
        if inside and (best is None or len(point) >= len(best[0])):
            best = (point, tail[0], _unescape(tail[1]))
    return best


def describe() -> str:
    cores = len(os.sched_getaffinity(0))
    return (f"{cpu_model()}, {cores} cores, {memory_gib():.0f} GiB, "
            f"Linux {platform.release()}, Python {platform.python_version()}")
