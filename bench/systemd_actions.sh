#!/usr/bin/env bash
# Counts the systemctl runs of --status, --check and a restart of a running unit, and the
# program's own CPU time per action (from its debug log), against a real systemd booted in
# private namespaces; and times the whole status action beside a plain `systemctl status`.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default -j 2 --target restartsrv_base >/dev/null

root=$(pwd)/build/bench-root
rm -rf "$root"
. scripts/sandbox.sh
sandbox_start "$root"
ln -s "$(pwd)/build/default/bin/restartsrv_base" "$root/bin/restartsrv_vxbench"
printf '[Service]\nExecStart=/bin/sleep infinity\n' | sandbox_unit vxbench.service
inside systemctl start vxbench

# Count systemctl runs: a wrapper in front of the real one, inside the sandbox only.
inside cp /usr/bin/systemctl /run/systemctl.real
printf '#!/bin/sh\necho "$*" >> /run/systemctl.calls\nexec /run/systemctl.real "$@"\n' > "/proc/$sandbox_pid/root/run/systemctl.wrapper"
chmod 755 "/proc/$sandbox_pid/root/run/systemctl.wrapper"
inside mount --bind /run/systemctl.wrapper /usr/bin/systemctl

measure() {
  local label=$1; shift
  rm -f "/proc/$sandbox_pid/root/run/systemctl.calls" "$root/product/logs/error_log"
  inside "$root/bin/restartsrv_vxbench" --debug "$@" >/dev/null 2>&1 || true
  local calls cpu
  calls=$(wc -l < "/proc/$sandbox_pid/root/run/systemctl.calls" 2>/dev/null || echo 0)
  cpu=$(grep -o 'own CPU time: .*)' "$root/product/logs/error_log" | tail -1 || true)
  printf '%-22s systemctl runs: %-3s %s\n' "$label" "$calls" "$cpu"
  sed 's/^/    systemctl /' "/proc/$sandbox_pid/root/run/systemctl.calls" 2>/dev/null || true
}
measure "--status" --status
measure "--check" --check
measure "restart (running)"

inside umount /usr/bin/systemctl
python3 - "$sandbox_pid" "$root" <<'PY'
import subprocess, sys, time
pid, root = sys.argv[1], sys.argv[2]
def timed(cmd, n=20):
    start = time.perf_counter()
    for _ in range(n):
        subprocess.run(["nsenter", "-t", pid, "-a", "--"] + cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return (time.perf_counter() - start) / n
ours = timed([root + "/bin/restartsrv_vxbench", "--status"])
plain = timed(["systemctl", "status", "vxbench.service", "--no-pager"])
print(f"status action {ours*1000:.1f} ms, systemctl status {plain*1000:.1f} ms, ratio {ours/plain:.2f}")
PY
