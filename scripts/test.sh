#!/usr/bin/env bash
# Runs the whole test suite: installs what it needs, checks formatting and
# runs ruff, builds the package and the GoogleTest binaries, runs them, then
# pytest, and the tables on a GlusterFS volume (as root, installing GlusterFS
# from Debian when missing; skipped otherwise); builds the sdist and the
# wheel and tests each installed into a fresh environment; then the tests
# again against an AddressSanitizer + UndefinedBehaviorSanitizer build, the
# threaded C++ tests under ThreadSanitizer, and a short run of every fuzzer.
# Arguments go to both pytest runs. LARKSPUR_QUICK=1 runs only the
# GoogleTest binaries, the first pytest run and the GlusterFS tests;
# LARKSPUR_FUZZ_SECONDS sets each fuzzer's run (default 6), LARKSPUR_NETFS=0
# skips the GlusterFS tests.
quick="${LARKSPUR_QUICK:-0}"
need_tests=1
[ "$quick" = 1 ] || need_clang=1
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
source "$ROOT/scripts/stages.sh"

[ "$quick" = 1 ] || stage "format (clang-format) and lint (ruff)" style_checks
stage "install the package" install_package
stage "C++ tests" cxx_tests
stage "pytest" "$PY" -m pytest -q "$@"
stage "netfs: tables on a GlusterFS volume, two mounts" netfs_tests
if [ "$quick" != 1 ]; then
  stage "packages: the sdist, the wheel pip builds from it (no system nlohmann/json), auditwheel repair" \
    package_build
  stage "packages: the repaired wheel in a fresh environment" package_wheel_tests
  stage "packages: the sdist's wheel in a fresh environment" package_sdist_tests
  stage "address+undefined sanitizers: C++ tests and pytest" asan_tests "$@"
  stage "thread sanitizer: pool, fetch and ring tests" tsan_tests
  stage "fuzzers" fuzz_tests "${LARKSPUR_FUZZ_SECONDS:-6}"
fi
print_stage_times
