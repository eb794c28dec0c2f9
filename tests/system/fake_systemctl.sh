#!/bin/sh
# A stand-in for systemctl that replays recorded output, for cases a real systemd
# cannot be made to produce. Responses live in $FAKE_SYSTEMCTL_DIR:
#   <verb>-<unit>      printed on standard output   (<verb>: show, status, is-active, ...)
#   <verb>-<unit>.rc   the exit code (0 when absent)
# Every call is appended to $FAKE_SYSTEMCTL_DIR/calls.
dir=${FAKE_SYSTEMCTL_DIR:?}
echo "$*" >> "$dir/calls"
verb=$1
unit=
for arg in "$@"; do unit=$arg; done
[ -f "$dir/$verb-$unit" ] && cat "$dir/$verb-$unit"
[ -f "$dir/$verb-$unit.rc" ] && exit "$(cat "$dir/$verb-$unit.rc")"
[ -f "$dir/$verb-$unit" ] && exit 0
exit 4
