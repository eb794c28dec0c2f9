# Shell functions shared by the demo and the benchmarks: boot a real systemd in private
# namespaces with a product root, and run commands inside it. Source it from the
# checkout's top directory.

# sandbox_start ROOT: boots the sandbox; sets sandbox_pid (systemd) and unshare_pid, and
# arranges for both to be killed when the calling shell exits.
sandbox_start() {
  local root=$1
  mkdir -p "$root/bin" "$root/product/logs" "$root/state"
  sandbox_group=vexlan-sandbox-$$-$RANDOM
  /bin/sh tests/system/cgroup_enter.sh "$sandbox_group" unshare --cgroup --pid --fork --kill-child --mount --uts --ipc --net \
    --mount-proc /bin/sh tests/system/private_root.sh "$root" /bin/sh tests/system/systemd_boot.sh "$(pwd)" >"$root/sandbox.log" 2>&1 &
  unshare_pid=$!
  trap 'kill -9 "${sandbox_pid:-0}" "$unshare_pid" 2>/dev/null || true; wait "$unshare_pid" 2>/dev/null || true
        /bin/sh tests/system/cgroup_leave.sh "$sandbox_group"' EXIT
  for _ in $(seq 200); do
    sandbox_pid=$(awk '{print $1}' "/proc/$unshare_pid/task/$unshare_pid/children" 2>/dev/null || true)
    [ -n "$sandbox_pid" ] && [ "$(cat "/proc/$sandbox_pid/comm" 2>/dev/null)" = systemd ] && break
    sandbox_pid=
    sleep 0.05
  done
  for _ in $(seq 100); do
    case "$(inside systemctl is-system-running 2>/dev/null || true)" in running*|degraded*) return 0 ;; esac
    sleep 0.1
  done
  echo "systemd did not come up; see $root/sandbox.log" >&2
  return 1
}

# inside COMMAND...: runs a command in every namespace of the sandbox.
inside() { nsenter -t "$sandbox_pid" -a -- /usr/bin/env LANG=C TERM="${TERM:-dumb}" "$@"; }

# sandbox_unit NAME: installs a unit (read from standard input) and reloads systemd.
sandbox_unit() {
  cat > "/proc/$sandbox_pid/root/etc/systemd/system/$1"
  inside systemctl daemon-reload
}
