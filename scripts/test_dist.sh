#!/usr/bin/env bash
# Tests what users install, on every Python that requires-python admits. scripts/wheel.sh builds
# the sdist, builds the 3.12 wheel from it and checks that wheel in a fresh environment; here the
# sdist is then installed into fresh environments of 3.11 and 3.13 (pythonX.Y on the PATH or
# under pyenv), where the Python tests run. (scripts/test.sh runs them on 3.12.)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/wheel.sh
export CMAKE_BUILD_PARALLEL_LEVEL=2

find_python() {
  local candidate
  for candidate in "python$1" "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$1".*/bin/python"$1"; do
    if "$candidate" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$1'" >/dev/null 2>&1; then
      command -v "$candidate"
      return
    fi
  done
  echo "test_dist: no Python $1 found" >&2
  return 1
}

sdist=$(ls "$PWD"/dist/vorandix-*.tar.gz)
for version in 3.11 3.13; do
  venv=build/dist-test/$version
  rm -rf "$venv"
  "$(find_python "$version")" -m venv "$venv"
  echo "test_dist: Python $version, $(basename "$sdist")"
  # No cache for the sdist: pip would reuse the wheel it built from an earlier one of that name.
  "$venv/bin/python" -m pip install -q --no-cache-dir "$sdist"
  "$venv/bin/python" -m pip install -q pytest hypothesis mypy "pyarrow>=14" "pandas>=2.1" \
    "dask[dataframe]>=2024.1" "distributed>=2024.1" "fsspec>=2023.1"
  "$venv/bin/python" -I scripts/check_install.py
  # From outside the source tree, so that only the installed package can be imported.
  (cd "$venv" && bin/python -m pytest -q -p no:cacheprovider "$OLDPWD/tests/python")
done
