#!/usr/bin/env bash
# The quick path for a change to the Python side: sets up and rebuilds incrementally
# (scripts/setup.sh), then runs the Python tests only; no sanitized C++ build and no release
# check. scripts/test.sh runs everything.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec .venv/bin/python -m pytest -q tests/python "$@"
