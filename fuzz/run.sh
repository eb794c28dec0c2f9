#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each on its seed corpus for a while.
# usage: fuzz/run.sh [SECONDS per target, default 10]
# CI runs a few seconds each; a longer search is "fuzz/run.sh 600". New inputs that add
# coverage are kept in build/fuzz/corpus/<target> (the seeds in fuzz/corpus stay as they
# are); a crash leaves its input in build/fuzz/artifacts and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
build=build/fuzz
cmake -S fuzz -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2
mkdir -p "$build/artifacts"
for target in "$build"/fuzz_*; do
  name=$(basename "$target")
  corpus=$build/corpus/${name#fuzz_}
  mkdir -p "$corpus"
  echo "==> $name ($seconds s)"
  "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$name-" "$corpus" "fuzz/corpus/${name#fuzz_}" 2>&1 |
    grep -E "^(stat::number_of_executed_units|stat::peak_rss_mb|==[0-9]+==ERROR|SUMMARY|artifact_prefix|Test unit written)" || true
  # libFuzzer's own status is lost in the pipe: a crash leaves an artifact.
  if compgen -G "$build/artifacts/$name-*" >/dev/null; then
    echo "$name found a failing input: $(ls "$build/artifacts/$name-"*)" >&2
    exit 1
  fi
done
