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
. scripts/sandbox.sh
sandbox_start "$root"
for name in restartsrv_vxdemo startvxdemo stopvxdemo; do
  ln -s "$(pwd)/build/default/bin/restartsrv_base" "$root/bin/$name"
done
sandbox_unit vxdemo.service <<'UNIT'
[Unit]
Description=Demo service for restartsrv
[Service]
Type=simple
ExecStart=/bin/sh -c 'echo "vxdemo: serving"; exec sleep infinity'
ExecReload=/bin/kill -HUP $MAINPID
UNIT

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
