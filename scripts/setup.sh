#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run its demo.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libfmt-dev libpcre2-dev libsystemd-dev
  clang-format
  # fuzzing (libFuzzer is clang's) and the Debian package: its dependencies, lint, completion
  clang dpkg-dev file lintian bash-completion man-db
  # test targets and tools the tests drive for real
  systemd procps psmisc util-linux ncurses-bin python3 iproute2 rpm
  # the fleet module and the check of the JSON record against its schema
  ansible-core python3-jsonschema
  # the daemons of a hosting server, each driven by its per-service class in the tests
  # (ssl-cert first: dovecot takes its certificate on a new installation)
  ssl-cert memcached nginx-light cron apache2 exim4-daemon-light dovecot-imapd dovecot-pop3d
  pure-ftpd bind9 mariadb-server postgresql redis-server rsyslog openssh-server
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # policy-rc.d keeps the freshly installed daemons from starting on the host
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d; chmod 755 /usr/sbin/policy-rc.d
    trap 'rm -f /usr/sbin/policy-rc.d' EXIT
  fi
  if [[ " ${missing[*]} " == *" ssl-cert "* ]]; then apt-get install -y -qq --no-install-recommends ssl-cert; fi
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# What ssl-cert's and dovecot's packages do on a new installation, when they ran in another order.
if [ ! -e /etc/ssl/certs/ssl-cert-snakeoil.pem ]; then make-ssl-cert generate-default-snakeoil; fi
if [ -d /etc/dovecot/private ] && [ ! -e /etc/dovecot/private/dovecot.pem ] && [ -e /etc/ssl/certs/ssl-cert-snakeoil.pem ]; then
  ln -s /etc/ssl/certs/ssl-cert-snakeoil.pem /etc/dovecot/private/dovecot.pem
  ln -s /etc/ssl/private/ssl-cert-snakeoil.key /etc/dovecot/private/dovecot.key
fi
