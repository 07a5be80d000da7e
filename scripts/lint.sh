#!/usr/bin/env bash
# Runs clang-tidy (.clang-tidy) over every C++ source of the CMake project:
# the libraries, the module, the GoogleTest files and the fuzz targets, with
# clang's compile commands (headers are checked through the sources that
# include them). Fails on any finding. It takes minutes on two cores, so the
# test command leaves it out; the test command checks formatting and runs
# ruff. tests/faultinject/faultinject.c is not linted: a C library whose
# functions carry libc's names and signatures.
#   ./scripts/lint.sh [REGEX...]     only the sources matching a REGEX
need_tests=1
need_clang=1
need_tidy=1
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

clang-tidy --version | grep -i version
cmake -S . -B build/lint -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
  -DLARKSPUR_BUILD_FUZZERS=ON -DLARKSPUR_BUILD_TESTS=ON \
  -DPython_EXECUTABLE="$PY" >/dev/null
run-clang-tidy -p build/lint -j "$(nproc)" -quiet "$@"
