#!/usr/bin/env bash
# Sets up and builds (scripts/setup.sh), runs the Python tests against the installed module,
# then builds the core and its C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer
# and runs them, and last fuzzes the engine for a minute per target (fuzz/run.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

.venv/bin/python -m pytest -q tests/python
# What users install: the wheel, and the sdist tested on the other Pythons requires-python admits.
scripts/test_dist.sh

.venv/bin/cmake -S . -B build/sanitized -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
  -DCMAKE_BUILD_TYPE=Debug -DVORANDIX_BUILD_MODULE=OFF -DVORANDIX_BUILD_TESTS=ON \
  -DVORANDIX_SANITIZE=ON >/dev/null
.venv/bin/cmake --build build/sanitized
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  build/sanitized/vorandix_core_tests --gtest_brief=1

fuzz/run.sh 60
