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


def describe() -> str:
    cores = len(os.sched_getaffinity(0))
    return (f"{cpu_model()}, {cores} cores, {memory_gib():.0f} GiB, "
            f"Linux {platform.release()}, Python {platform.python_version()}")
