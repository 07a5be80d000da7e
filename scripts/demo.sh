#!/usr/bin/env bash
# Runs the demo: installs what it needs (from Debian only python3 with venv,
# CPython's headers and a C++ compiler), builds and installs the package into
# .venv, then runs `larkspur demo` with any arguments given. The build leaves
# compiler warnings as warnings, as a user's `pip install` does.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
"$PY" -m pip install -q --disable-pip-version-check --no-build-isolation .
exec "$VENV/bin/larkspur" demo "$@"
