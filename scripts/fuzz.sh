#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for SECONDS (default 600):
#   ./scripts/fuzz.sh [SECONDS]
# The corpus grows in build/fuzz/corpus/ from run to run; a finding stops the
# run and leaves its input in build/fuzz/artifacts/. The Python surface
# fuzzer runs longer with, for example,
#   LARKSPUR_QUICK=1 LARKSPUR_SURFACE_FUZZ_EXAMPLES=20000 \
#     ./scripts/test.sh tests/test_surface_fuzz.py
need_clang=1
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
source "$ROOT/scripts/stages.sh"

stage "fuzzers" fuzz_tests "${1:-600}"
print_stage_times
