#!/usr/bin/env bash
# Runs the demo: installs what it needs, builds and installs the package into
# .venv, then runs `larkspur demo` with any arguments given.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
"$PY" -m pip install -q --disable-pip-version-check --no-build-isolation .
exec "$VENV/bin/larkspur" demo "$@"
