#!/usr/bin/env bash
# Installs the Debian packages Quorvan FTP needs to build, run, test and
# package. As root it installs what is missing with apt-get; otherwise it
# prints the exact commands to run and how to become root, and stops.
#   scripts/setup.sh [COMMAND]   COMMAND: what to run again afterwards (for the message)
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache pkg-config
  qt6-base-dev libgl-dev fonts-dejavu-core
  libgtest-dev libgmock-dev
  libssl-dev openssl
  vsftpd python3-pyftpdlib python3-openssl python3-twisted dante-server curl lftp
  clang libclang-rt-14-dev
  xvfb xauth imagemagick x11-utils xdotool icewm
  locales qt6-translations-l10n
  librsvg2-bin dpkg-dev desktop-file-utils appstream lintian man-db
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# inetutils-ftpd and ftpd-ssl conflict with vsftpd (and each other) as
# packages: they are only unpacked, into a folder of their own that the tests
# look in (QUORVAN_TEST_SERVERS overrides it).
servers_dir=${QUORVAN_TEST_SERVERS:-/var/cache/quorvan-test-servers}
unpacked=(inetutils-ftpd:usr/sbin/ftpd ftpd-ssl:usr/sbin/in.ftpd)
to_unpack=()
for u in "${unpacked[@]}"; do
  [ -x "$servers_dir/${u%%:*}/${u#*:}" ] || to_unpack+=("${u%%:*}")
done
# Both sign in through the PAM service "ftp"; without its file ftpd-ssl
# answers USER with 550 and anonymous sign-in fails. vsftpd has its own.
need_pam=0
[ -e /etc/pam.d/ftp ] || need_pam=1
# The Swedish tests need the C library's Swedish locale, not only Qt's.
need_locale=0
locale -a 2>/dev/null | grep -qix 'sv_SE.utf8' || need_locale=1
if [ ${#missing[@]} -eq 0 ] && [ $need_locale -eq 0 ] && [ ${#to_unpack[@]} -eq 0 ] && [ $need_pam -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  again=${1:-bash scripts/setup.sh}
  {
    echo "Missing packages or locale; installing them needs root:"
    [ ${#missing[@]} -eq 0 ] ||
      echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}"
    [ $need_locale -eq 0 ] || echo "  localedef -i sv_SE -f UTF-8 sv_SE.UTF-8"
    [ ${#to_unpack[@]} -eq 0 ] ||
      echo "  (cd $servers_dir && apt-get download ${to_unpack[*]}) and dpkg-deb -x each into $servers_dir/NAME"
    [ $need_pam -eq 0 ] || echo "  install -m 644 $servers_dir/ftpd-ssl/etc/pam.d/ftp /etc/pam.d/ftp"
    if command -v sudo >/dev/null; then
      echo "Run it again with sudo in front: sudo $again"
    else
      echo "sudo is not installed here. Become root with 'su -' (or ask whoever"
      echo "administers this machine) to run the lines above, then run '$again' again."
    fi
  } >&2
  exit 1
fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # The packaged vsftpd and danted would start system-wide daemons on install;
  # the tests start their own private instances. A policy-rc.d that refuses
  # every start keeps the installation from starting anything, and services
  # that were already running on this machine are left alone.
  policy=/usr/sbin/policy-rc.d
  own_policy=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod 755 "$policy"
    own_policy=1
    trap '[ $own_policy -eq 1 ] && rm -f "$policy"' EXIT
  fi
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
if [ $need_locale -eq 1 ]; then
  localedef -i sv_SE -f UTF-8 sv_SE.UTF-8
fi
if [ ${#to_unpack[@]} -gt 0 ]; then
  echo "Unpacking into $servers_dir: ${to_unpack[*]}"
  mkdir -p "$servers_dir"
  # apt's download user may not write there; a private folder it can.
  download=$(mktemp -d)
  chmod 777 "$download"
  (cd "$download" && apt-get download -qq "${to_unpack[@]}")
  for p in "${to_unpack[@]}"; do
    rm -rf "${servers_dir:?}/$p"
    dpkg-deb -x "$download/${p}"_*.deb "$servers_dir/$p"
  done
  rm -rf "$download"
fi
if [ $need_pam -eq 1 ]; then
  install -m 644 "$servers_dir/ftpd-ssl/etc/pam.d/ftp" /etc/pam.d/ftp
fi
