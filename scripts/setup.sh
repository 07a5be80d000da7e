# Sourced by the other scripts: installs the Debian packages the caller needs
# and lacks (with apt-get, as root or through sudo without a password), then
# creates or reuses the virtual environment .venv with the Python packages the
# caller needs (from PyPI). A caller sets, before sourcing:
#   need_tests=1   the test command: GoogleTest, fio, and the test, packaging
#                  and lint tools from PyPI
#   need_clang=1   clang and libFuzzer (the fuzzers)
#   need_tidy=1    clang-tidy (scripts/lint.sh)
# Without any, only the demo's needs: python3 with venv, CPython's headers and
# a C++ compiler from Debian; the build tools and numpy from PyPI.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

python3 -c 'import sys; sys.exit(sys.version_info < (3, 11))' || {
  echo "error: larkspur needs Python 3.11 or newer; python3 is $(python3 --version 2>&1)" >&2
  exit 1
}

apt_packages=()
apt_reasons=()
# want PACKAGE WHY: PACKAGE is missing and needed for WHY.
want() {
  apt_packages+=("$1")
  apt_reasons+=("$(printf '%-22s %s' "$1" "$2")")
}

python3 -c 'import venv, ensurepip' 2>/dev/null ||
  want python3-venv "creates the virtual environment .venv"
python3 - <<'PY' 2>/dev/null || want python3-dev "CPython's headers, to build the extension module"
import os, sys, sysconfig
sys.exit(0 if os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")) else 1)
PY
if [ "${need_tests:-0}" = 1 ]; then
  # The sanitizer stage preloads g++'s libasan, so the tests want g++ itself.
  command -v g++ >/dev/null || want g++ "the C++20 compiler (GCC 12 or newer)"
  [ -f /usr/include/gtest/gtest.h ] || want libgtest-dev "GoogleTest, for the C++ tests"
  command -v fio >/dev/null ||
    want fio "the disk's random-read baseline that \`larkspur bench\` prints"
else
  command -v c++ >/dev/null || command -v g++ >/dev/null ||
    want g++ "the C++20 compiler (GCC 12 or newer)"
fi
if [ "${need_clang:-0}" = 1 ]; then
  command -v clang++ >/dev/null || want clang "clang, the fuzzers' compiler"
  clang_major=14  # Debian 12's clang, when none is installed yet
  command -v clang++ >/dev/null && clang_major="$(clang++ -dumpversion | cut -d. -f1)"
  compgen -G "/usr/lib/llvm-$clang_major/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" \
    >/dev/null || want "libclang-rt-$clang_major-dev" "libFuzzer, the fuzzers' runtime"
fi
if [ "${need_tidy:-0}" = 1 ]; then
  command -v clang-tidy >/dev/null || want clang-tidy "clang-tidy, the C++ linter"
fi

if [ ${#apt_packages[@]} -gt 0 ]; then
  echo "$(basename "$0") needs these Debian packages:"
  printf '  %s\n' "${apt_reasons[@]}"
  if ! command -v apt-get >/dev/null; then
    echo "error: no apt-get on this machine: install them (or their equivalents)" \
      "and run again" >&2
    exit 1
  fi
  sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    # -n: fail at once instead of asking for a password.
    if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
      sudo=(sudo -n)
    else
      echo "error: installing them needs root; run" >&2
      echo "  sudo apt-get install ${apt_packages[*]}" >&2
      echo "and then this script again" >&2
      exit 1
    fi
  fi
  echo "installing them with apt-get"
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq "${apt_packages[@]}" >/dev/null
fi

VENV="${LARKSPUR_VENV:-$ROOT/.venv}"
[ -x "$VENV/bin/python" ] || python3 -m venv "$VENV"
PY="$VENV/bin/python"

# pyproject_requirements KEY...: the requirements pyproject.toml lists under
# each KEY: "build" for [build-system] requires (the scripts build with
# --no-build-isolation, so .venv holds them), "extra:NAME" for an optional
# dependency of the package, any other NAME for a [dependency-groups] entry.
pyproject_requirements() {
  "$PY" - "$@" <<'PY'
import sys, tomllib
with open("pyproject.toml", "rb") as f:
    data = tomllib.load(f)
for key in sys.argv[1:]:
    if key == "build":
        found = data["build-system"]["requires"]
    elif key.startswith("extra:"):
        found = data["project"]["optional-dependencies"][key[len("extra:"):]]
    else:
        found = data["dependency-groups"][key]
    print("\n".join(found))
PY
}

python_keys=(build extra:numpy)
[ "${need_tests:-0}" = 1 ] && python_keys+=(extra:test package lint)
mapfile -t python_packages < <(pyproject_requirements "${python_keys[@]}")
[ ${#python_packages[@]} -gt 0 ] || { echo "error: cannot read pyproject.toml" >&2; exit 1; }
"$PY" -m pip install -q --disable-pip-version-check "${python_packages[@]}"
export PATH="$VENV/bin:$PATH"
