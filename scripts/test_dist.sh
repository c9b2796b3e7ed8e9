#!/usr/bin/env bash
# Tests what a user installs: builds the sdist and the manylinux wheel (scripts/wheel.sh), then,
# for every Python that requires-python admits (3.11, 3.12, 3.13, found as pythonX.Y on the PATH
# or under pyenv), installs one of them into a fresh virtual environment with the test tools and
# runs the Python tests there: the sdist for 3.11 and 3.13, the wheel (built from the sdist) for
# 3.12.
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
wheel=$(ls "$PWD"/dist/vorandix-*-manylinux_*.whl)
for version in 3.11 3.12 3.13; do
  venv=build/dist-test/$version
  rm -rf "$venv"
  "$(find_python "$version")" -m venv "$venv"
  artifact=$sdist
  [ "$version" != 3.12 ] || artifact=$wheel
  echo "test_dist: Python $version, $(basename "$artifact")"
  "$venv/bin/python" -m pip install -q "vorandix[test] @ file://$artifact"
  "$venv/bin/python" -I scripts/check_install.py $([ "$version" != 3.12 ] || echo --bundled)
  # From outside the source tree, so that only the installed package can be imported.
  (cd "$venv" && bin/python -m pytest -q -p no:cacheprovider "$OLDPWD/tests/python")
done
