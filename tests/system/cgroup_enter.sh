#!/bin/sh
# Moves this process into a control group of its own, below where it is, in every
# hierarchy that systemd manages, then runs the command. Started with "unshare --cgroup",
# a sandbox's systemd sees that group as its root: two sandboxes never share (and never
# remove) each other's unit groups. cpuset is left alone: a new cpuset group has no CPUs.
# usage: cgroup_enter.sh ID COMMAND [ARGS...]
id=$1
shift
while IFS=: read -r _ controllers path; do
  case "$controllers" in
    "") dir=/sys/fs/cgroup/unified ;;
    cpuset) continue ;;
    name=*) dir=/sys/fs/cgroup/${controllers#name=} ;;
    *) dir=/sys/fs/cgroup/$controllers ;;
  esac
  mountpoint -q "$dir" || continue
  mkdir -p "$dir$path/$id" 2>/dev/null && echo $$ > "$dir$path/$id/cgroup.procs" 2>/dev/null || true
done < /proc/self/cgroup
exec "$@"
