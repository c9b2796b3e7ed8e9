#!/usr/bin/env bash
# Builds the fuzz targets with clang, the core instrumented for coverage and run under
# AddressSanitizer and UndefinedBehaviorSanitizer, replays tests/regressions through the two
# engine targets, then fuzzes each target for SECONDS (default 60): the engine's from the
# samples and the regression inputs, rows_fuzzer (the Arrow column builder of the Parquet
# output) from the JSON lines in fuzz/rows_seeds.
#
#   fuzz/run.sh [SECONDS]
#
# A crash leaves its input in build/fuzz/ (crash-*); put it in tests/regressions, named after
# the fault, once fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
cmake=.venv/bin/cmake
$cmake -S . -B build/fuzz -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVORANDIX_BUILD_MODULE=OFF -DVORANDIX_BUILD_FUZZ=ON >/dev/null
$cmake --build build/fuzz

regressions=(tests/regressions/*)
inputs=()
for f in "${regressions[@]}"; do
  case "$f" in *.py|*.json) ;; *) inputs+=("$f") ;; esac
done
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in engine_fuzzer path_fuzzer; do
  build/fuzz/$target -runs=0 "${inputs[@]}" 2>&1 | grep -E "^Executed|ERROR|SUMMARY" | tail -n 3
done
build/fuzz/rows_fuzzer -runs=0 fuzz/rows_seeds/* 2>&1 |
  grep -E "^Executed|ERROR|SUMMARY" | tail -n 3

for target in engine_fuzzer path_fuzzer rows_fuzzer; do
  # Each target starts from the samples, the regression inputs and what earlier runs found; the
  # column builder of the Parquet output starts from JSON lines.
  seeds=(../../tests/data ../../tests/regressions) dict=formats.dict found=corpus
  if [ $target = rows_fuzzer ]; then
    seeds=(../../fuzz/rows_seeds) dict=json.dict found=corpus-rows
  fi
  mkdir -p "build/fuzz/$found"
  (cd build/fuzz && ./$target -max_total_time="$seconds" -max_len=65536 -timeout=10 \
      -rss_limit_mb=2048 -dict=../../fuzz/$dict -print_final_stats=1 \
      $found "${seeds[@]}" 2>&1) |
    grep -E "^stat::(number_of_executed_units|peak_rss_mb)|^#[0-9]+[[:space:]]+DONE|ERROR|SUMMARY" || true
  if compgen -G "build/fuzz/crash-*" >/dev/null || compgen -G "build/fuzz/timeout-*" >/dev/null ||
     compgen -G "build/fuzz/leak-*" >/dev/null; then
    echo "fuzz: $target found a fault; its input is in build/fuzz/" >&2
    exit 1
  fi
done
