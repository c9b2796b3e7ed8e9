#!/usr/bin/env bash
# Sets up and builds (scripts/setup.sh), then prints the metadata of the files given (JSON
# Lines), or, indented, that of the sample image shipped in tests/data.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
if (($#)); then
  exec .venv/bin/python -m vorandix "$@"
fi
exec .venv/bin/python -m vorandix --pretty tests/data/sample.png
