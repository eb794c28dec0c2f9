#!/usr/bin/env bash
# Builds the program and shows its main job on a demo service: a real systemd is booted
# in private namespaces (nothing of this machine is touched), a small demo unit is
# installed there, and restartsrv_vxdemo, startvxdemo and stopvxdemo act on it.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default -j 2 --target restartsrv_base >/dev/null

root=$(pwd)/build/demo-root
rm -rf "$root"
mkdir -p "$root/bin" "$root/product/logs" "$root/state"
for name in restartsrv_vxdemo startvxdemo stopvxdemo; do
  ln -s "$(pwd)/build/default/bin/restartsrv_base" "$root/bin/$name"
done

unshare --pid --fork --kill-child --mount --uts --ipc --net --mount-proc \
  /bin/sh tests/system/private_root.sh "$root" /bin/sh tests/system/systemd_boot.sh "$(pwd)" >"$root/sandbox.log" 2>&1 &
unshare_pid=$!
cleanup() {
  [ -n "${init_pid:-}" ] && kill -9 "$init_pid" 2>/dev/null || true
  kill -9 "$unshare_pid" 2>/dev/null || true
  wait "$unshare_pid" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 200); do
  init_pid=$(cat "/proc/$unshare_pid/task/$unshare_pid/children" 2>/dev/null | awk '{print $1}')
  [ -n "$init_pid" ] && break
  sleep 0.05
done
inside() { nsenter -t "$init_pid" -a -- /usr/bin/env LANG=C TERM="${TERM:-dumb}" "$@"; }
for _ in $(seq 100); do
  case "$(inside systemctl is-system-running 2>/dev/null || true)" in running*|degraded*) break ;; esac
  sleep 0.1
done

cat > "/proc/$init_pid/root/etc/systemd/system/vxdemo.service" <<'UNIT'
[Unit]
Description=Demo service for restartsrv
[Service]
Type=simple
ExecStart=/bin/sh -c 'echo "vxdemo: serving"; exec sleep infinity'
ExecReload=/bin/kill -HUP $MAINPID
UNIT
inside systemctl daemon-reload

step() {
  echo
  echo "\$ $*"
  local status=0
  inside "$root/bin/$@" || status=$?
  echo "(exit status $status)"
}
step restartsrv_vxdemo            # not running yet: the restart becomes a start
step restartsrv_vxdemo            # running: stop, then start
step restartsrv_vxdemo --status
step restartsrv_vxdemo --check
step stopvxdemo
step restartsrv_vxdemo --status   # down: a non-zero status
step startvxdemo
step restartsrv_vxdemo --noverbose
