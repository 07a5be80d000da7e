#!/usr/bin/env bash
# Runs the whole test suite: installs what it needs, builds the package and
# the GoogleTest binaries, runs them, then pytest; then the same tests
# against an AddressSanitizer + UndefinedBehaviorSanitizer build, the
# threaded C++ tests under ThreadSanitizer, and a short run of every fuzzer.
# Arguments go to both pytest runs. LARKSPUR_QUICK=1 stops after the first
# pytest run; LARKSPUR_FUZZ_SECONDS sets each fuzzer's run (default 20).
quick="${LARKSPUR_QUICK:-0}"
[ "$quick" = 1 ] || need_clang=1
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
source "$ROOT/scripts/stages.sh"

stage "install the package" install_package
stage "C++ tests" cxx_tests
stage "pytest" "$PY" -m pytest -q "$@"
if [ "$quick" != 1 ]; then
  stage "address+undefined sanitizers: C++ tests and pytest" asan_tests "$@"
  stage "thread sanitizer: pool, fetch and ring tests" tsan_tests
  stage "fuzzers" fuzz_tests "${LARKSPUR_FUZZ_SECONDS:-20}"
fi
print_stage_times
