#!/usr/bin/env bash
# Builds the program and runs the whole test suite, in the default preset and under
# AddressSanitizer + UndefinedBehaviorSanitizer, then a short run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
# Every test must run here (root, namespaces, the real daemons): one that cannot fails.
export VEXLAN_REQUIRE_ALL_TESTS=1
for preset in default asan; do
  echo "==> preset $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j 2
  ctest --preset "$preset"
done
# Every parser of outside text, fed a few seconds of generated input each.
echo "==> fuzz"
bash fuzz/run.sh 3
