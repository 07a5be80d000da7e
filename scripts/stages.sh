# Sourced after setup.sh: the stages of the test command, also run on their
# own by test-sanitized.sh and fuzz.sh. Each builds in its own build/ folder
# and fails the script (set -e) when a test fails.

jobs="$(nproc)"
stage_times=()

# Warnings are errors in every build of ours (CMake's default, and so a
# user's `pip install`, leaves them warnings). Python_EXECUTABLE: CMake looks
# for the PyPI nlohmann-json there when the system has no nlohmann/json.
cmake_flags=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLARKSPUR_WERROR=ON
             -DPython_EXECUTABLE="$PY")

# stage NAME COMMAND...: runs COMMAND and records how long it took.
stage() {
  local name="$1" start="$SECONDS"
  shift
  echo "=== $name"
  "$@"
  stage_times+=("$name: $((SECONDS - start)) s")
}

print_stage_times() {
  echo "=== stage times"
  printf '  %s\n' "${stage_times[@]}"
}

# The package with its release module, installed into the virtual
# environment. Its build is configured for the GoogleTest binaries too,
# which cxx_tests builds and runs: the libraries are compiled once for both.
release_build="$ROOT/build/release"
install_package() {
  "$PY" -m pip install -q --disable-pip-version-check --no-build-isolation \
    --config-settings=build-dir="$release_build" \
    --config-settings=cmake.define.LARKSPUR_WERROR=ON \
    --config-settings=cmake.define.LARKSPUR_BUILD_TESTS=ON .
}

# tracked_files PATTERN...: the files of the checkout whose names match a
# PATTERN: git's list, or (an unpacked sdist) a search outside build/ and .venv/.
tracked_files() {
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -- "$@"
  else
    local patterns=() pattern
    for pattern in "$@"; do patterns+=(-o -name "$pattern"); done
    find . \( -path ./build -o -path ./.venv \) -prune -o -type f \
      \( "${patterns[@]:1}" \) -print | sed 's|^\./||'
  fi
}

# Formatting of the C and C++ sources (.clang-format) and ruff's lint of the
# Python code (pyproject.toml); both only read, and both run before either
# fails the stage.
style_checks() {
  local sources unformatted=() file status=0
  mapfile -t sources < <(tracked_files '*.cc' '*.h' '*.c')
  for file in "${sources[@]}"; do
    clang-format --style=file "$file" | cmp -s - "$file" || unformatted+=("$file")
  done
  echo "$(clang-format --version | sed 's/ *(.*//'): ${#sources[@]} files," \
    "${#unformatted[@]} not formatted"
  if [ ${#unformatted[@]} -gt 0 ]; then
    printf '  %s\n' "${unformatted[@]}"
    echo "  (clang-format -i FILE formats one; .venv/bin/clang-format is the version)"
    status=1
  fi
  echo "$(ruff --version):"
  ruff check --no-cache --output-format concise . || status=1
  return "$status"
}

# The GoogleTest binaries of the release build, beside the module
# install_package built there.
cxx_tests() {
  cmake --build "$release_build" -j "$jobs"
  ctest --test-dir "$release_build" --output-on-failure -j "$jobs"
}

# AddressSanitizer + UndefinedBehaviorSanitizer: the GoogleTest binaries,
# then the whole pytest suite against the instrumented module.
asan_tests() {
  cmake -S . -B build/asan "${cmake_flags[@]}" \
    -DLARKSPUR_BUILD_TESTS=ON -DLARKSPUR_SANITIZE="address;undefined" >/dev/null
  cmake --build build/asan -j "$jobs"
  ctest --test-dir build/asan --output-on-failure -j "$jobs"
  # Both instrumented modules where Python finds them first: _larkspur, and
  # the larkspur package with its _engine.
  local site="$ROOT/build/asan/site"
  rm -rf "$site" && mkdir -p "$site/larkspur"
  cp python/larkspur/*.py python/larkspur/*.pyi "$site/larkspur/"
  cp build/asan/larkspur-python/_engine.abi3.so "$site/larkspur/"
  cp build/asan/larkspur-python/_larkspur.abi3.so "$site/"
  # The interpreter is not instrumented: preload the runtime. Leak checking
  # would report the interpreter's own allocations; allocator_may_return_null
  # lets absurd buffer sizes fail as MemoryError instead of aborting. Tests
  # of Python code alone (stubs, benchmark runners) ran in the release pass.
  # The surface fuzzers try fewer inputs here: the release pass tried more.
  LD_PRELOAD="$(g++ -print-file-name=libasan.so)" \
  LARKSPUR_SURFACE_FUZZ_EXAMPLES="${LARKSPUR_SURFACE_FUZZ_EXAMPLES:-25}" \
  ASAN_OPTIONS=detect_leaks=0,allocator_may_return_null=1 \
  UBSAN_OPTIONS=print_stacktrace=1,halt_on_error=1 \
  PYTHONPATH="$site" \
    "$PY" -m pytest -q -p no:cacheprovider -m "not python_side" "$@"
}

# ThreadSanitizer over the C++ tests of the code that shares memory between
# threads: the worker pool, the fetch planner, the record reads on the pool,
# the io_uring ring and its page reads.
tsan_filter="RunJobs.*:IoPool.*:NoPool.*:RunOnThreads.*:*/FaultingBatch.*:PoolFork.*"
tsan_filter+=":Table.*:*/FetchMatchesModel.*:*/CacheBehaviour.*"
tsan_filter+=":RecordViewTest.*:*/ReadRecordsTest.*"
tsan_filter+=":IoUring.*:*/IoUringRefused.*:*/IoUringMappingFailure.*"
tsan_filter+=":UringPages.*:UringPagesSmallRing.*:*/UringFailedBatch.*"
tsan_filter+=":EngineTable.*:RingEngine.*:RowCacheTest.*:*/S3FifoModelTest.*"
# The ring engine's many-request test at width 160 (every depth, buffered
# and direct) and 264, and with the shards inside one file at width 160:
# wider rows only make the model slower to build.
for i in 6 7 8 9 10 11 16; do
  tsan_filter+=":Widths/RingRowsTest.EngineServesManyRequestsAtOnce/$i"
done
for i in 4 5 6 7; do
  tsan_filter+=":Packed/RingRowsTest.EngineServesManyRequestsAtOnce/$i"
done

tsan_tests() {
  cmake -S . -B build/tsan "${cmake_flags[@]}" \
    -DLARKSPUR_BUILD_TESTS=ON -DLARKSPUR_BUILD_MODULE=OFF \
    -DLARKSPUR_SANITIZE=thread >/dev/null
  cmake --build build/tsan -j "$jobs" --target larkspur_io_tests
  # die_after_fork=0: the pool's fork tests start threads in children
  # forked from a process with threads.
  TSAN_OPTIONS=halt_on_error=1,second_deadlock_stack=1,die_after_fork=0 \
    build/tsan/larkspur-io/larkspur_io_tests --gtest_filter="$tsan_filter" \
    --gtest_brief=1
}

fuzz_targets=(key_list manifest rowids safetensors)

# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for
# SECONDS. New inputs go to build/fuzz/corpus/<target>, which later runs
# start from; the committed seeds in fuzz/corpus/<target> are only read.
# A failing input is saved as build/fuzz/artifacts/<target>-crash-*.
fuzz_tests() {
  local seconds="$1" target log runs
  cmake -S . -B build/fuzz "${cmake_flags[@]}" -DCMAKE_CXX_COMPILER=clang++ \
    -DLARKSPUR_BUILD_FUZZERS=ON -DLARKSPUR_BUILD_MODULE=OFF >/dev/null
  cmake --build build/fuzz -j "$jobs"
  mkdir -p build/fuzz/artifacts
  for target in "${fuzz_targets[@]}"; do
    mkdir -p "build/fuzz/corpus/$target"
    log="build/fuzz/$target.log"
    local opts=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048
                -print_final_stats=1 -artifact_prefix="build/fuzz/artifacts/$target-")
    [ -f "fuzz/$target.dict" ] && opts+=(-dict="fuzz/$target.dict")
    # Long enough for lines that cross the key reader's 8192-byte buffer.
    [ "$target" = key_list ] && opts+=(-max_len=20000)
    if ! "build/fuzz/fuzz/${target}_fuzzer" "${opts[@]}" \
        "build/fuzz/corpus/$target" "fuzz/corpus/$target" >"$log" 2>&1; then
      tail -n 60 "$log"
      echo "fuzzer $target failed; its input is in build/fuzz/artifacts/" >&2
      return 1
    fi
    runs="$(awk '/stat::number_of_executed_units/ {print $2}' "$log")"
    echo "fuzz $target: $runs executions in ${seconds} s," \
      "corpus of $(find "build/fuzz/corpus/$target" -type f | wc -l) inputs"
  done
}

# The distributions, built and installed as a user meets them. `python -m
# build` makes the sdist; pip builds the wheel from it as it does for a user
# who installs the sdist (in an isolated environment of PyPI build tools,
# the system's nlohmann/json out of reach, so that the build takes the PyPI
# headers). auditwheel turns that wheel into a manylinux one, which goes
# into a fresh environment; the sdist's own wheel goes into a second. Each
# environment runs scripts/check_installed.py from a folder outside the
# checkout; the tiny demo's table is written once and kept in
# build/pkg/demo-table.
pkg="$ROOT/build/pkg"

package_build() {
  local sdist wheel used
  rm -rf "$pkg/dist" "$pkg/wheelhouse" "$pkg/sdist-build"
  mkdir -p "$pkg"
  "$PY" -m build --sdist --outdir "$pkg/dist" . >"$pkg/build.log" 2>&1 ||
    { tail -n 40 "$pkg/build.log"; return 1; }
  sdist="$(echo "$pkg"/dist/larkspur-*.tar.gz)"
  CMAKE_ARGS="-DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON" \
    "$PY" -m pip wheel -q --disable-pip-version-check --no-deps \
    --wheel-dir "$pkg/dist" --config-settings=build-dir="$pkg/sdist-build" \
    --config-settings=cmake.define.LARKSPUR_WERROR=ON "$sdist" \
    >>"$pkg/build.log" 2>&1 || { tail -n 40 "$pkg/build.log"; return 1; }
  # The headers the compiler read, from the build's dependency log.
  used="$(ninja -C "$pkg/sdist-build" -t deps | grep -o '[^ ]*/nlohmann/json\.hpp$' | sort -u)"
  echo "nlohmann/json.hpp read by the sdist's build: ${used:-none}"
  if [ -z "$used" ] || grep -qv '/site-packages/nlohmann_json/include/' <<<"$used"; then
    echo "the sdist's build did not take nlohmann/json from the PyPI package" >&2
    return 1
  fi
  wheel="$(echo "$pkg"/dist/larkspur-*.whl)"
  auditwheel repair --wheel-dir "$pkg/wheelhouse" "$wheel" >"$pkg/auditwheel.log" 2>&1 ||
    { cat "$pkg/auditwheel.log"; return 1; }
  auditwheel show "$wheel" 2>/dev/null | sed -n '/consistent with/,/platform tag/p'
  ls -l "$pkg"/dist/* "$pkg"/wheelhouse/*.whl | awk '{print "  " $5 " bytes  " $NF}'
}

# fresh_venv NAME: a new virtual environment build/pkg/NAME; prints its Python.
fresh_venv() {
  rm -rf "${pkg:?}/$1"
  python3 -m venv "$pkg/$1"
  echo "$pkg/$1/bin/python"
}

# check_in_venv PYTHON ARGS...: scripts/check_installed.py with PYTHON, run
# from an empty folder outside the checkout.
check_in_venv() {
  local python="$1" here
  shift
  here="$(mktemp -d)"
  (cd "$here" && "$python" "$ROOT/scripts/check_installed.py" "$@")
  rm -rf "$here"
}

package_wheel_tests() {
  local python repaired
  repaired="$(echo "$pkg"/wheelhouse/larkspur-*manylinux*.whl)"
  python="$(fresh_venv venv-wheel)"
  "$python" -m pip install -q --disable-pip-version-check "$repaired[numpy]"
  check_in_venv "$python" --wheel "$repaired" --demo-table "$pkg/demo-table"
}

package_sdist_tests() {
  local python wheel
  wheel="$(echo "$pkg"/dist/larkspur-*.whl)"
  python="$(fresh_venv venv-sdist)"
  "$python" -m pip install -q --disable-pip-version-check "$wheel"
  check_in_venv "$python" --no-numpy
  "$python" -m pip install -q --disable-pip-version-check numpy
  check_in_venv "$python" --demo-table "$pkg/demo-table"
}

# Tables on a distributed file system: tests/test_netfs.py inside the network
# namespace of a GlusterFS volume that scripts/netfs.sh brings up under
# build/netfs, mounted twice. It needs root and Debian's GlusterFS packages,
# which it installs when missing (timed); without them it prints why it
# skipped. LARKSPUR_NETFS=0 skips it. The volume comes down however the
# tests end.
netfs_tests() {
  local why
  if ! why="$(netfs_prepare)"; then
    echo "netfs: skipped: $why"
    return 0
  fi
  [ -z "$why" ] || echo "$why"
  netfs_run_tests
}

# netfs_prepare: prints why the stage cannot run and fails, or prints the
# install's time (when it installed anything) and succeeds.
netfs_prepare() {
  local start log
  [ "${LARKSPUR_NETFS:-1}" != 0 ] || { echo "LARKSPUR_NETFS=0"; return 1; }
  [ "$(id -u)" = 0 ] || { echo "needs root (a network namespace, glusterd, FUSE mounts)"; return 1; }
  [ -c /dev/fuse ] || { echo "no /dev/fuse"; return 1; }
  command -v glusterd >/dev/null && command -v mount.glusterfs >/dev/null && return 0
  command -v apt-get >/dev/null || { echo "no GlusterFS and no apt-get to install it"; return 1; }
  start="$SECONDS"
  log="$(mktemp)"
  # Read the package lists again only when they do not know the package.
  if ! apt-cache show glusterfs-server >/dev/null 2>&1; then
    apt-get update -qq >"$log" 2>&1 || true
  fi
  if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
      glusterfs-server glusterfs-client >>"$log" 2>&1; then
    echo "apt-get install glusterfs-server glusterfs-client failed: $(tail -n 1 "$log")"
    rm -f "$log"
    return 1
  fi
  rm -f "$log"
  echo "netfs: installed glusterfs-server and glusterfs-client in $((SECONDS - start)) s"
}

# In a subshell, so that its EXIT trap takes the volume down on success,
# failure (set -e) and interruption alike.
netfs_run_tests() (
  local dir="$ROOT/build/netfs"
  trap '"$ROOT/scripts/netfs.sh" down "$dir"' EXIT
  trap 'exit 130' INT TERM
  # What an interrupted earlier run left behind.
  "$ROOT/scripts/netfs.sh" down "$dir" >/dev/null
  "$ROOT/scripts/netfs.sh" up "$dir"
  "$ROOT/scripts/netfs.sh" run "$dir" -- \
    "$PY" -m pytest -q -p no:cacheprovider -m netfs tests/test_netfs.py
)
