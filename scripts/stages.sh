# Sourced after setup.sh: the stages of the test command, also run on their
# own by test-sanitized.sh and fuzz.sh. Each builds in its own build/ folder
# and fails the script (set -e) when a test fails.

jobs="$(nproc)"
stage_times=()

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
# environment (the companion package and the benchmarks come with it).
install_package() {
  "$PY" -m pip install -q --disable-pip-version-check --no-build-isolation .
}

# The GoogleTest binaries of the release build.
cxx_tests() {
  cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DLARKSPUR_BUILD_TESTS=ON -DLARKSPUR_BUILD_MODULE=OFF >/dev/null
  cmake --build build/tests -j "$jobs"
  ctest --test-dir build/tests --output-on-failure -j "$jobs"
}

# AddressSanitizer + UndefinedBehaviorSanitizer: the GoogleTest binaries,
# then the whole pytest suite against the instrumented module.
asan_tests() {
  cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DLARKSPUR_BUILD_TESTS=ON -DLARKSPUR_SANITIZE="address;undefined" \
    -DPython_EXECUTABLE="$PY" >/dev/null
  cmake --build build/asan -j "$jobs"
  ctest --test-dir build/asan --output-on-failure -j "$jobs"
  # Both instrumented modules where Python finds them first: _larkspur, and
  # the larkspur package with its _engine.
  local site="$ROOT/build/asan/site"
  rm -rf "$site" && mkdir -p "$site/larkspur"
  cp python/larkspur/*.py python/larkspur/*.pyi "$site/larkspur/"
  mkdir -p "$site/larkspur/bench" && cp bench/*.py "$site/larkspur/bench/"
  cp build/asan/larkspur-python/_engine.abi3.so "$site/larkspur/"
  cp build/asan/larkspur-python/_larkspur.abi3.so "$site/"
  # The interpreter is not instrumented: preload the runtime. Leak checking
  # would report the interpreter's own allocations; allocator_may_return_null
  # lets absurd buffer sizes fail as MemoryError instead of aborting.
  LD_PRELOAD="$(g++ -print-file-name=libasan.so)" \
  ASAN_OPTIONS=detect_leaks=0,allocator_may_return_null=1 \
  UBSAN_OPTIONS=print_stacktrace=1,halt_on_error=1 \
  PYTHONPATH="$site" \
    "$PY" -m pytest -q -p no:cacheprovider "$@"
}

# ThreadSanitizer over the C++ tests of the code that shares memory between
# threads: the worker pool, the fetch planner, the record reads on the pool,
# the io_uring ring and its page reads.
tsan_filter="RunJobs.*:IoPool.*:NoPool.*:RunOnThreads.*:*/FaultingBatch.*:PoolFork.*"
tsan_filter+=":Table.*:*/FetchMatchesModel.*:*/CacheBehaviour.*"
tsan_filter+=":RecordViewTest.*:*/ReadRecordsTest.*"
tsan_filter+=":IoUring.*:*/IoUringRefused.*:*/IoUringMappingFailure.*"
tsan_filter+=":UringPages.*:UringPagesSmallRing.*:*/UringFailedBatch.*"
tsan_filter+=":EngineTable.*"

tsan_tests() {
  cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DLARKSPUR_BUILD_TESTS=ON -DLARKSPUR_BUILD_MODULE=OFF \
    -DLARKSPUR_SANITIZE=thread >/dev/null
  cmake --build build/tsan -j "$jobs" --target larkspur_io_tests
  # die_after_fork=0: the pool's fork tests start threads in children
  # forked from a process with threads.
  TSAN_OPTIONS=halt_on_error=1,second_deadlock_stack=1,die_after_fork=0 \
    build/tsan/larkspur-io/larkspur_io_tests --gtest_filter="$tsan_filter" \
    --gtest_brief=1
}

fuzz_targets=(key_list manifest rowids)

# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for
# SECONDS. New inputs go to build/fuzz/corpus/<target>, which later runs
# start from; the committed seeds in fuzz/corpus/<target> are only read.
# A failing input is saved as build/fuzz/artifacts/<target>-crash-*.
fuzz_tests() {
  local seconds="$1" target log runs
  cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLARKSPUR_BUILD_FUZZERS=ON \
    -DLARKSPUR_BUILD_MODULE=OFF >/dev/null
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
