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
for name in restartsrv_vxdemo startvxdemo stopvxdemo restartsrv_vxlegacy stopvxlegacy; do
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

# A service that has only an init script: the program drives it through that script.
inside cp /bin/sleep /run/vxlegacyd
cat > "/proc/$sandbox_pid/root/etc/init.d/vxlegacy" <<'SCRIPT'
#!/bin/sh
### BEGIN INIT INFO
# Provides: vxlegacy
# Default-Start: 2 3 4 5
### END INIT INFO
. /lib/lsb/init-functions
DAEMON=/run/vxlegacyd
PIDFILE=/run/vxlegacy.pid
case "$1" in
start) echo "vxlegacy: starting"; start-stop-daemon --start --background --make-pidfile --pidfile $PIDFILE --exec $DAEMON -- infinity ;;
stop) start-stop-daemon --stop --oknodo --pidfile $PIDFILE --retry 5; rm -f $PIDFILE ;;
status) status_of_proc -p $PIDFILE $DAEMON vxlegacy ;;
*) exit 2 ;;
esac
SCRIPT
chmod 755 "/proc/$sandbox_pid/root/etc/init.d/vxlegacy"
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
step restartsrv_vxlegacy          # through its init script
step restartsrv_vxlegacy --status
step stopvxlegacy
