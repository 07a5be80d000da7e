# Sourced by the other scripts: installs the system packages the build and
# the tests need (apt, as root or through sudo), then creates or reuses the
# virtual environment .venv with the build and test tools.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

apt_packages=()
[ -f /usr/include/gtest/gtest.h ] || apt_packages+=(libgtest-dev)
[ -f /usr/include/nlohmann/json.hpp ] || apt_packages+=(nlohmann-json3-dev)
command -v g++ >/dev/null || apt_packages+=(g++)
command -v fio >/dev/null || apt_packages+=(fio)
# The fuzzers need clang and its libFuzzer runtime; a script that builds
# them sets need_clang=1 before sourcing this file.
if [ "${need_clang:-0}" = 1 ]; then
  command -v clang++ >/dev/null || apt_packages+=(clang)
  clang_major=14  # Debian 12's clang, when none is installed yet
  command -v clang++ >/dev/null && clang_major="$(clang++ -dumpversion | cut -d. -f1)"
  compgen -G "/usr/lib/llvm-$clang_major/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" \
    >/dev/null || apt_packages+=("libclang-rt-$clang_major-dev")
fi
python3 -c 'import venv, ensurepip' 2>/dev/null || apt_packages+=(python3-venv)
python3 - <<'PY' 2>/dev/null || apt_packages+=(python3-dev)
import os, sys, sysconfig
sys.exit(0 if os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")) else 1)
PY
if [ ${#apt_packages[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "installing system packages: ${apt_packages[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${apt_packages[@]}" >/dev/null
fi

VENV="${LARKSPUR_VENV:-$ROOT/.venv}"
[ -x "$VENV/bin/python" ] || python3 -m venv "$VENV"
PY="$VENV/bin/python"
"$PY" -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.10" "cmake>=3.26" ninja pytest hypothesis mypy numpy
export PATH="$VENV/bin:$PATH"
