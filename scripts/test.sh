#!/usr/bin/env bash
# Builds the program and runs the whole test suite, in the default preset and under
# AddressSanitizer + UndefinedBehaviorSanitizer, then a short run of every fuzz target.
# Prints the time of each phase beside its budget at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/phases.sh
trap print_phases EXIT
# Every test must run here (root, namespaces, the real daemons): one that cannot fails.
export VEXLAN_REQUIRE_ALL_TESTS=1

build() { cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j 2; }
# System and daemon tests mostly wait for systemd and daemons, each in namespaces of its
# own (tests that share a daemon take its lock): more of them run at once than there are
# cores.
tests() { echo "==> $1: $2 tests"; ctest --preset "$1" -L "^$2\$" -j "$3"; }

phase "build default" 200 build default
phase "default: unit tests" 45 tests default unit 2
phase "default: system tests" 120 tests default system 6
phase "default: daemon tests" 240 tests default daemon 6
# The sanitizers watch the program's own code paths: unit and system tests (the preset
# leaves the daemon tests out).
phase "build asan" 270 build asan
phase "asan: unit tests" 60 tests asan unit 2
phase "asan: system tests" 180 tests asan system 6
# Every parser of outside text, fed a few seconds of generated input each.
phase "fuzz" 75 bash fuzz/run.sh 3
# What rows still to be written may add, so that the run keeps room for them. Rows that
# have landed are timed in their phases above, and their share leaves the reserve.
reserve "new: real-daemon matrix, faults still to come" 150
reserve "new: systemd, init.d rows to come" 60
reserve "new: fleet rows to come" 90
