#!/bin/bash
# The installed product, as "cmake --install" lays it out in a staging root: files, modes
# and links; a second install that changes nothing; the manual page; one real service
# (memcached, through its init script) driven through the installed names in a private
# mount namespace; and bash completion of the installed names.
# usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source_dir=$2
stage=$(mktemp -d /tmp/vexlan-install.XXXXXX)
trap 'rm -rf "$stage"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR=$stage cmake --install "$build" >/dev/null
scripts=$stage/usr/local/vexlan/scripts
[ -x "$scripts/restartsrv_base" ] || fail "the program is not installed"
# Every module gives its service the three names, each a link to the program.
modules=$(cd "$stage/usr/local/vexlan/lib/services" && ls -- *.so)
[ -n "$modules" ] || fail "no service modules installed"
for module in $modules; do
  service=$(echo "${module%.so}" | tr '[:upper:]' '[:lower:]')
  for name in "restartsrv_$service" "start$service" "stop$service"; do
    [ "$(readlink "$scripts/$name")" = restartsrv_base ] || fail "$name is not a link to restartsrv_base"
  done
done
for dir in usr/local/vexlan/logs var/vexlan/restartsrv/locks var/vexlan/restartsrv/startup_logs var/vexlan/svcmond/suspended; do
  [ "$(stat -c %a "$stage/$dir")" = 700 ] || fail "$dir is not mode 0700"
done
# Every directory the README and the manual page tell an administrator to use is made.
for dir in var/vexlan/services/disabled var/vexlan/custom/services; do
  [ -d "$stage/$dir" ] || fail "$dir, named in the documentation, is not made"
done

# Installing again changes nothing: not a file, a mode, a link or a time.
listing() { (cd "$stage" && find . -printf '%p %m %l %s %T@\n' | sort); }
before=$(listing)
DESTDIR=$stage cmake --install "$build" >/dev/null
[ "$before" = "$(listing)" ] || fail "a second install changed the installed files"

# The manual page renders without complaint and documents what --help prints.
man_page=$stage/usr/local/share/man/man8/restartsrv_base.8.gz
rendered=$(MANWIDTH=100 man -l "$man_page" 2>"$stage/man.err")
[ ! -s "$stage/man.err" ] || fail "man complains: $(cat "$stage/man.err")"
for option in $("$scripts/restartsrv_base" memcached --help | sed -n '/^Exit status/q; s/^  \(--.*\)/\1/p' | grep -o -- '--[a-z][a-z-]*'); do
  grep -q -- "$option" <<<"$rendered" || fail "the manual page does not document $option"
  grep -q -- "\`$option" "$source_dir/README.md" || fail "the README does not document $option"
done

# Bash completion finds the installed names' completion by their own names.
completion=$(XDG_DATA_DIRS=$stage/usr/local/share PATH=$scripts:$PATH bash -c '
  source /usr/share/bash-completion/bash_completion
  __load_completion restartsrv_memcached || exit 1
  complete -p stopmemcached
  COMP_WORDS=(restartsrv_memcached --che); COMP_CWORD=1; _vexlan_restartsrv; echo "${COMPREPLY[*]}"
  COMP_WORDS=(restartsrv_memcached sto); COMP_CWORD=1; _vexlan_restartsrv; echo "${COMPREPLY[*]}"
  COMP_WORDS=(restartsrv_memcached ""); COMP_CWORD=1; _vexlan_restartsrv; echo "all: ${COMPREPLY[*]}"
  COMP_WORDS=(restartsrv_base cro); COMP_CWORD=1; _vexlan_restartsrv; echo "services: ${COMPREPLY[*]}"')
grep -q "complete -F _vexlan_restartsrv stopmemcached" <<<"$completion" || fail "no completion for stopmemcached: $completion"
grep -qx -- "--check" <<<"$completion" || fail "--che does not complete to --check: $completion"
grep -qx "stop" <<<"$completion" || fail "sto does not complete to stop: $completion"
# Every action word and every option once, and services beyond the panel's classes (cron's
# init script and unit are on every test machine).
all=$(sed -n 's/^all: //p' <<<"$completion" | tr ' ' '\n')
for word in start stop restart reload status check --norestart --json; do
  [ "$(grep -cx -- "$word" <<<"$all")" = 1 ] || fail "$word is not offered exactly once: $all"
done
[ "$(sort <<<"$all" | uniq -d)" = "" ] || fail "words offered twice: $(sort <<<"$all" | uniq -d)"
grep -q "^services: .*\bcron\b" <<<"$completion" || fail "restartsrv_base cro does not offer cron: $completion"

# One real service through the installed names, with the installed product and state in
# place of the machine's, in namespaces of its own (mount, pid, and a /run of its own): what
# runs on the host, a memcached included, is neither seen nor touched. (A shell stands as
# the namespace's first process, so that the program's parent is not mistaken for systemd.)
root=$stage/root
mkdir -p "$root"
ln -s "$stage/usr/local/vexlan" "$root/product"
ln -s "$stage/var/vexlan" "$root/state"
cat > "$stage/one_service.sh" <<'ONE'
set -u
mount -t tmpfs -o mode=0755 tmpfs /run
install -d -o memcache -g memcache /run/memcached  # as systemd-tmpfiles makes it at boot
cd /tmp
# Pids as a running machine has them: the program trusts no pid in the kernel's low range.
for _ in $(seq 400); do /bin/true; done
/usr/local/vexlan/scripts/startmemcached >"$1/start.out" 2>&1 || { echo "startmemcached failed: $(cat "$1/start.out")"; exit 1; }
pid=$(pgrep -x memcached) || { echo "memcached does not run after startmemcached"; exit 1; }
check=$(/usr/local/vexlan/scripts/restartsrv_memcached --check --json) || { echo "the check failed: $check"; exit 1; }
record=$(tail -n 1 <<<"$check")
grep -q '"state":"up"' <<<"$record" && grep -q "\"main_pid\":$pid" <<<"$record" || { echo "no record of the running daemon: $record"; exit 1; }
/usr/local/vexlan/scripts/stopmemcached >"$1/stop.out" 2>&1 || { echo "stopmemcached failed: $(cat "$1/stop.out")"; exit 1; }
for _ in $(seq 50); do [ -d "/proc/$pid" ] || break; sleep 0.1; done
[ ! -d "/proc/$pid" ] || { echo "memcached still runs after stopmemcached"; exit 1; }
ONE
why=$(unshare --mount --pid --fork --mount-proc --propagation private \
        sh "$source_dir/tests/system/private_root.sh" "$root" \
        sh -c 'bash "$0" "$1"; exit $?' "$stage/one_service.sh" "$stage") || fail "$why"
[ -s "$stage/usr/local/vexlan/logs/restartsrv_audit_log" ] || fail "the calls left no audit record in the installed log directory"
# The Debian package: the same files, dependencies computed from the libraries, a maintainer
# script that makes the state directories and never touches a service, nothing lintian
# objects to beyond the overridden /usr/local tags.
(cd "$build" && cpack -B "$stage/pkg" >/dev/null)
deb=$(ls "$stage"/pkg/*.deb)
contents=$(dpkg-deb -c "$deb")
for path in usr/local/vexlan/scripts/restartsrv_base usr/local/vexlan/scripts/stopmemcached \
            usr/local/vexlan/lib/services/Memcached.so usr/share/man/man8/restartsrv_base.8.gz \
            usr/share/bash-completion/completions/restartsrv_base; do
  grep -q " ./$path" <<<"$contents" || fail "the package lacks $path"
done
! grep -q " ./var/" <<<"$contents" || fail "the package ships state directories, which dpkg -r would remove"
dpkg-deb -f "$deb" Depends | grep -q "libsystemd0" || fail "the dependencies were not computed: $(dpkg-deb -f "$deb" Depends)"
postinst=$(dpkg-deb -I "$deb" postinst)
grep -q "/var/vexlan/restartsrv/locks 0700" <<<"$postinst" || fail "the maintainer script does not make the lock directory"
grep -q "/var/vexlan/services/disabled 0755" <<<"$postinst" || fail "the maintainer script does not make the disabled directory"
! grep -Eq "systemctl|invoke-rc.d|restartsrv_|/etc/init.d" <<<"$postinst" || fail "the maintainer script touches services"
lint=$(lintian "$deb" 2>&1 | grep -E "^[EW]:" || true)
[ -z "$lint" ] || fail "lintian: $lint"
echo "install test passed"
