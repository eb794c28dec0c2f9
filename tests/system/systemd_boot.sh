#!/bin/sh
# Boots a real systemd as PID 1 of the private namespaces that `unshare --pid --fork
# --mount --uts --ipc --net --mount-proc` made, after private_root.sh has put the test's
# product and state directories in place. Nothing of the host is touched: /run, /tmp,
# /var/tmp, /var/log and the unit directory are private, and every boot-time unit that
# would act on the machine is masked.
# usage: systemd_boot.sh [KEEP...]  -- directories (the project's checkout, the test's root)
# that must stay visible even when they lie under one of the directories made private here.
set -e
# Each kept directory is held open (descriptors 3 to 8) across the mounts that hide it.
[ $# -le 6 ] || { echo "systemd_boot.sh: at most six directories to keep" >&2; exit 2; }
fd=3
for keep in "$@"; do
  eval "exec $fd<\"\$keep\""
  fd=$((fd + 1))
done
mount --make-rprivate /
# The host's log directories, empty but with their owners and modes: daemons refuse to
# start without the directory their package made for their log.
mkdir -p /run/varlog-host
mount --bind /var/log /run/varlog-host
for dir in /run /tmp /var/tmp /var/log /etc/systemd/system; do
  [ "$dir" = /run ] && continue
  mount -t tmpfs -o mode=0755 tmpfs "$dir"
done
(cd /run/varlog-host && find . -mindepth 1 -type d -printf '%m %U %G %p\n') | while read -r mode uid gid path; do
  mkdir -p "/var/log/$path" && chown "$uid:$gid" "/var/log/$path" && chmod "$mode" "/var/log/$path"
done
umount /run/varlog-host
mount -t tmpfs -o mode=0755 tmpfs /run
chmod 1777 /tmp /var/tmp
fd=3
for keep in "$@"; do
  case "$keep" in
    /run/*|/tmp/*|/var/tmp/*|/var/log/*)
      mkdir -p "$keep"
      mount --no-canonicalize --bind "/proc/self/fd/$fd" "$keep" ;;
  esac
  eval "exec $fd<&-"
  fd=$((fd + 1))
done
mkdir -p /var/log/nginx /var/log/journal
# The runtime directories packages declare for boot (systemd-tmpfiles is masked here):
# only under the private /run.
systemd-tmpfiles --create --prefix=/run >/dev/null 2>&1 || true

# The init scripts are the host's, but a private copy: a test may add its own.
mkdir -p /run/initd-host
mount --bind /etc/init.d /run/initd-host
mount -t tmpfs -o mode=0755 tmpfs /etc/init.d
cp -a /run/initd-host/. /etc/init.d/
umount /run/initd-host
rmdir /run/initd-host

units=/etc/systemd/system
for unit in /lib/systemd/system/sysinit.target.wants/*; do
  name=$(basename "$unit")
  [ "$name" = systemd-journald.service ] && continue
  ln -sf /dev/null "$units/$name"
done
for name in systemd-remount-fs.service systemd-udevd.service systemd-udevd-control.socket \
            systemd-udevd-kernel.socket systemd-logind.service systemd-timesyncd.service \
            systemd-pstore.service getty.target systemd-initctl.socket dbus.socket \
            systemd-journald-audit.socket systemd-networkd.service systemd-resolved.service \
            systemd-hostnamed.service systemd-user-sessions.service; do
  ln -sf /dev/null "$units/$name"
done
cat > "$units/vexlan-sandbox.target" <<'UNIT'
[Unit]
Description=Test sandbox
UNIT

# A real host's daemons never have the first few hundred pids, and the process-table rules
# skip those: hand out pids from 1000 on, as a host that has been up a while would.
echo 1000 > /proc/sys/kernel/ns_last_pid 2>/dev/null || true

# Each control-group hierarchy mounted afresh: in the sandbox's cgroup namespace a new mount
# shows the sandbox's own group as the root, where systemd makes its slices and units.
cgroup_mounts=$(awk '$5 ~ "^/sys/fs/cgroup/" { for (i = 7; i <= NF; i++) if ($i == "-") { print $5, $(i + 1), $(i + 3); break } }' \
  /proc/self/mountinfo)
echo "$cgroup_mounts" | while read -r mp fstype options; do
  [ -n "$mp" ] && umount "$mp" 2>/dev/null && mount -t "$fstype" -o "$options" "$fstype" "$mp" 2>/dev/null || true
done

# The loopback interface of the private network namespace.
ip link set lo up 2>/dev/null || true

exec /lib/systemd/systemd --system --unit=vexlan-sandbox.target
