#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs the GoogleTest binaries and the whole pytest suite against that build.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

jobs="$(nproc)"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLARKSPUR_BUILD_TESTS=ON -DLARKSPUR_SANITIZE="address;undefined" \
  -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build build/asan -j "$jobs"
ctest --test-dir build/asan --output-on-failure -j "$jobs"

# The interpreter is not instrumented: preload the runtime. Leak checking
# would report the interpreter's own allocations; allocator_may_return_null
# lets absurd buffer sizes fail as MemoryError instead of aborting.
LD_PRELOAD="$(g++ -print-file-name=libasan.so)" \
ASAN_OPTIONS=detect_leaks=0,allocator_may_return_null=1 \
UBSAN_OPTIONS=print_stacktrace=1,halt_on_error=1 \
PYTHONPATH="$ROOT/build/asan/larkspur-python" \
  "$PY" -m pytest -q -p no:cacheprovider "$@"
