#!/bin/sh
# Runs a command with the product and state directories of a test root, in the private
# mount namespace that `unshare --mount --propagation private` made for it. Nothing of
# the host's product or state directories is touched.
# usage: private_root.sh ROOT COMMAND [ARGS...]
set -e
root=$1
shift
mkdir -p "$root/product/logs" "$root/state" "$root/.var"

# /usr/local becomes an empty tmpfs with the product directory bound in.
mount -t tmpfs -o mode=0755 tmpfs /usr/local
mkdir -p /usr/local/vexlan
mount --bind "$root/product" /usr/local/vexlan

# /var keeps everything it has and gains the state directory.
mount --rbind /var "$root/.var"
mount -t tmpfs -o mode=0755 tmpfs /var
for entry in "$root"/.var/* "$root"/.var/.[!.]*; do
  [ -e "$entry" ] || [ -L "$entry" ] || continue
  name=$(basename "$entry")
  if [ -L "$entry" ]; then
    cp -P "$entry" "/var/$name"
  elif [ -d "$entry" ]; then
    mkdir -p "/var/$name"
    mount --rbind "$entry" "/var/$name"
  fi
done
mkdir -p /var/vexlan
mount --bind "$root/state" /var/vexlan

# A test's own init scripts, when it has any.
if [ -d "$root/initd" ]; then
  mount --bind "$root/initd" /etc/init.d
fi

exec "$@"
