#!/usr/bin/env bash
# Builds and runs the benchmarks and prints the ratios the project's goals are stated in.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default -j 2 >/dev/null
out=build/default/bench
ratio() { python3 - "$1" "$2" "$3" <<'PY'
import json, sys
data = {b["name"]: b["real_time"] for b in json.load(open(sys.argv[1]))["benchmarks"]}
print(f"{sys.argv[3]}: {data[sys.argv[2].split(',')[0]] / data[sys.argv[2].split(',')[1]]:.2f}")
PY
}
"$out/saferun_bench" --benchmark_out="$out/saferun.json" --benchmark_out_format=json
ratio "$out/saferun.json" "BM_SafeRunTrue/min_time:2.000,BM_BareSpawnTrue/min_time:2.000" "runner / bare posix_spawn+waitpid of /bin/true (goal <= 1.3)"
ratio "$out/saferun.json" "BM_SafeRunCapture256MiB/min_time:3.000,BM_PlainReadLoop256MiB/min_time:3.000" "runner capture / plain read loop keeping the data, 256 MiB (goal <= 1.3)"
ratio "$out/saferun.json" "BM_SafeRunCapture256MiB/min_time:3.000,BM_PlainReadLoopDiscard256MiB/min_time:3.000" "runner capture / plain read loop discarding the data, 256 MiB"
"$out/ps_bench" --benchmark_out="$out/ps.json" --benchmark_out_format=json
ratio "$out/ps.json" "BM_FastParsePs/min_time:3.000,BM_Ps/min_time:3.000" "fast_parse_ps / ps -eo pid,user,ppid,stat,ni,args (goal <= 0.5)"
ratio "$out/ps.json" "BM_GetPidsByName/min_time:3.000,BM_Pgrep/min_time:3.000" "get_pids_by_name / pgrep -x (goal <= 1.0)"
