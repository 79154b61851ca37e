#!/usr/bin/env bash
# Installs the Debian packages Quorvan FTP needs to build, run and test.
# As root it installs what is missing with apt-get; otherwise it prints the
# exact command to run and stops.
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache pkg-config
  qt6-base-dev libgl-dev fonts-dejavu-core
  libgtest-dev libgmock-dev
  libssl-dev openssl
  vsftpd python3-pyftpdlib python3-openssl dante-server curl lftp
  clang libclang-rt-14-dev
  xvfb xauth imagemagick
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages. Run as root:" >&2
  echo "  apt-get install -y --no-install-recommends ${missing[*]}" >&2
  exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# The packaged vsftpd and danted start system-wide daemons on install; the
# tests start their own private instances, so the system ones are not needed.
for svc in vsftpd danted; do
  if command -v systemctl >/dev/null 2>&1; then systemctl stop "$svc" 2>/dev/null || true; fi
  pkill -x "$svc" 2>/dev/null || true
done
