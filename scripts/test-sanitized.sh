#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs the GoogleTest binaries and the whole pytest suite against that build
# (arguments go to pytest). scripts/test.sh runs this too.
need_tests=1
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
source "$ROOT/scripts/stages.sh"

stage "install the package" install_package
stage "address+undefined sanitizers: C++ tests and pytest" asan_tests "$@"
print_stage_times
