import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).parent
FAULTINJECT = HERE / "faultinject"

# Faults injected by the child interpreters of this session, as
# [entry point, rule, failures made]; written to $FAULTINJECT_TALLY at the
# end of the session when that is set.
FAULT_TALLY = []


@pytest.fixture
def fd_count():
    """Number of open descriptors of this process, read on demand."""
    return lambda: len(os.listdir("/proc/self/fd"))


def under_asan():
    return "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.fixture(scope="session")
def faultinject_lib(tmp_path_factory):
    """The fault-injection library, compiled once per session."""
    cc = shutil.which(os.environ.get("CC", "cc"))
    if cc is None:
        pytest.skip("no C compiler (cc) to build the fault-injection library")
    out = tmp_path_factory.mktemp("faultinject") / "faultinject.so"
    proc = subprocess.run(
        [cc, "-shared", "-fPIC", "-fexceptions", "-O2", "-Wall", "-Wextra", "-o", str(out),
         str(FAULTINJECT / "faultinject.c"), "-ldl"],
        capture_output=True, text=True)
    if proc.returncode != 0:
        pytest.fail(f"cannot build the fault-injection library:\n{proc.stderr}")
    return str(out)


def loaded_cxx_runtime():
    """Path of the C++ runtime this process has loaded (with the module)."""
    with open("/proc/self/maps") as f:
        for line in f:
            path = line.split()[-1]
            if os.path.basename(path).startswith("libstdc++.so"):
                return path
    return None


def child_env(extra=None, preload=None):
    env = {k: v for k, v in os.environ.items() if not k.startswith("LARKSPUR_")}
    env["LARKSPUR_POOL_WORKERS"] = "32"
    if preload is not None:
        env["FAULTINJECT_LIB"] = preload
        sanitizer = env.get("LD_PRELOAD", "")
        if under_asan():
            # The library goes first, or the sanitizer's operator new would
            # hide ours; the C++ runtime is loaded up front so that the
            # sanitizer finds the real __cxa_throw when it starts.
            env["LD_PRELOAD"] = ":".join([preload, sanitizer, loaded_cxx_runtime()])
            env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "")
                                   + ",verify_asan_link_order=0")
        else:
            env["LD_PRELOAD"] = f"{sanitizer}:{preload}" if sanitizer else preload
    env.update(extra or {})
    return env


def run_child_code(code, *, args=(), env=None, preload=None, timeout=300):
    """Runs `code` in a fresh interpreter after `from child_helpers import *`
    and returns the dict it left in `out`."""
    prelude = (f"import sys\nsys.path.insert(0, {str(FAULTINJECT)!r})\n"
               "import json, os, sys\nfrom child_helpers import *\n"
               "import _larkspur\nfrom _larkspur import *\nout = {}\n")
    proc = subprocess.run(
        [sys.executable, "-c", prelude + code + "\nreport(out)\n", *map(str, args)],
        env=child_env(env, preload), capture_output=True, text=True,
        timeout=timeout)
    assert proc.returncode == 0, (
        f"child exited with {proc.returncode}\n{proc.stdout}\n{proc.stderr}")
    out = json.loads(proc.stdout.rstrip("\n").rsplit("\n", 1)[-1])
    FAULT_TALLY.extend(out.pop("_tally"))
    out["_stderr"] = proc.stderr
    return out


@pytest.fixture
def faulty(faultinject_lib):
    """faulty(code, *args, **env) runs code in a child under the library."""
    return lambda code, *args, **env: run_child_code(
        code, args=args, env=env, preload=faultinject_lib)


def pytest_sessionfinish(session):
    path = os.environ.get("FAULTINJECT_TALLY")
    if path and FAULT_TALLY:
        with open(path, "w") as f:
            json.dump(FAULT_TALLY, f)
