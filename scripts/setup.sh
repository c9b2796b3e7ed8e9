#!/usr/bin/env bash
# Prepares a fresh machine and builds the module: installs the missing Debian packages, makes
# the virtual environment .venv from Python 3.12 with the build and test tools, and installs
# vorandix into it. Safe to run again; it only does what is missing (and always rebuilds).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ pkg-config libssl-dev libdeflate-dev libexiv2-dev libgtest-dev zlib1g-dev clang
          libclang-rt-14-dev exiv2)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "setup: installing ${missing[*]}" >&2
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Python 3.12: $VORANDIX_PYTHON, then python3.12 on the PATH, then pyenv's installations.
find_python() {
  local candidate
  for candidate in "${VORANDIX_PYTHON:-}" python3.12 "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.12*/bin/python3.12; do
    [ -n "$candidate" ] || continue
    if "$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 12)' >/dev/null 2>&1; then
      command -v "$candidate"
      return
    fi
  done
  echo "setup: no Python 3.12 found (set VORANDIX_PYTHON)" >&2
  return 1
}

if ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 12)' >/dev/null 2>&1; then
  rm -rf .venv
  "$(find_python)" -m venv .venv
fi
.venv/bin/python -m pip install -q "scikit-build-core>=0.11" cmake ninja pytest hypothesis mypy \
  "tqdm>=4.60"
# The optional extras [arrow] and [dask], which the table and cluster tests use.
.venv/bin/python -m pip install -q "pyarrow>=14" "pandas>=2.1" "dask[dataframe]>=2024.1" \
  "distributed>=2024.1" "fsspec>=2023.1"
.venv/bin/python -m pip install -q --no-build-isolation .
