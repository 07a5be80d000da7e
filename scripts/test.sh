#!/usr/bin/env bash
# Runs the whole test suite: installs what it needs, builds the package and
# the GoogleTest binaries, runs them, then pytest.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

"$PY" -m pip install -q --disable-pip-version-check --no-build-isolation .

jobs="$(nproc)"
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLARKSPUR_BUILD_TESTS=ON -DLARKSPUR_BUILD_MODULE=OFF >/dev/null
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure -j "$jobs"

"$PY" -m pytest -q "$@"
