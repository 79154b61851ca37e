#!/usr/bin/env bash
# An upload over a link like a remote server's (a private pyftpdlib adding a
# 50 ms round trip to every reply and every data connection and moving at most
# RATE_KIB KiB/s per data connection, with HASH for the check) cut off at
# half, then resumed and verified by qvftp, beside the same upload in full and
# beside curl continuing the same cut copy (curl -C - -T: SIZE, then APPE; it
# checks nothing):
#   [RATE_KIB=32768] bench/resume_upload.sh [MiB]        (default 1024)
# The default rate (32 MiB/s) moves 1 GiB in about 32 s. Needs build/qvftp,
# curl and /usr/bin/python3 with pyftpdlib. Nothing is left behind.
set -euo pipefail
cd "$(dirname "$0")/.."
mib=${1:-1024}
rate=${RATE_KIB:-32768}
qvftp=build/qvftp
[ -x "$qvftp" ] || { echo "build qvftp first" >&2; exit 1; }
# On disk rather than a RAM-backed /tmp: three copies of the file at once.
work=$(mktemp -d -p "${TMPDIR:-/var/tmp}")
pids=()
cleanup() {
  # wait's status is the signal's; under set -e it would end the cleanup.
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# start_server NAME EXTRA...: sets $port once the server answers. Not run in
# $(...): the server's pid must reach the cleanup's list in this shell.
start_server() {
  local name=$1
  shift
  mkdir -p "$work/$name"
  port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  /usr/bin/python3 -I tests/support/pyftpd_server.py --port "$port" --root "$work/$name" \
    --user bench --password bench --delay-ms 50 --rate-kib "$rate" "$@" >"$work/$name.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    (exec 9<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "pyftpdlib did not start" >&2
  return 1
}

seconds() { date +%s.%N; }

head -c "${mib}M" /dev/urandom >"$work/file.bin"
half=$((mib * 1024 * 1024 / 2))
run() { "$qvftp" -q --user bench:bench --retries 0 "$@"; }

# measure LABEL SERVER-OPTION...: a full upload beside one cut at half and resumed.
measure() {
  local label=$1
  shift
  local full_port cut_port t0 t1 t2 t3 t4 t5 kept
  start_server "full-$label" "$@"
  full_port=$port
  start_server "cut-$label" --drop-data-after "$half" "$@"
  cut_port=$port
  t0=$(seconds)
  run put "$work/file.bin" "ftp://127.0.0.1:$full_port/file.bin"
  t1=$(seconds)
  rm -f "$work/full-$label/file.bin"
  if run put "$work/file.bin" "ftp://127.0.0.1:$cut_port/file.bin" 2>/dev/null; then
    echo "the upload was not cut" >&2; exit 1
  fi
  kept=$(stat -c %s "$work/cut-$label/file.bin")
  cp "$work/cut-$label/file.bin" "$work/cut-$label/curl.bin"
  t2=$(seconds)
  run --resume -v put "$work/file.bin" "ftp://127.0.0.1:$cut_port/file.bin" 2>"$work/resume.err"
  t3=$(seconds)
  cmp -s "$work/file.bin" "$work/cut-$label/file.bin" || { echo "resumed copy differs" >&2; exit 1; }
  t4=$(seconds)
  curl -sS --user bench:bench -C - -T "$work/file.bin" "ftp://127.0.0.1:$cut_port/curl.bin"
  t5=$(seconds)
  cmp -s "$work/file.bin" "$work/cut-$label/curl.bin" || { echo "curl's copy differs" >&2; exit 1; }
  rm -f "$work/full-$label/file.bin" "$work/cut-$label/file.bin" "$work/cut-$label/curl.bin"
  /usr/bin/python3 - "$label" "$kept" "$t0" "$t1" "$t2" "$t3" "$t4" "$t5" <<'PY'
import sys
label, kept = sys.argv[1], int(sys.argv[2])
t0, t1, t2, t3, t4, t5 = map(float, sys.argv[3:9])
full, resumed, curl = t1 - t0, t3 - t2, t5 - t4
print(f"  {label:<20} {full:7.2f} s {kept:>12} {resumed:9.2f} s {resumed / full:6.2f}"
      f" {curl:12.2f} s")
PY
  grep '^\* checked' "$work/resume.err" | sed 's/^/    /'
}

echo "$mib MiB upload over a 50 ms round trip at $rate KiB/s, cut at half, resumed and checked"
echo "  (ratio: qvftp resumed / qvftp full; target < 0.6)"
printf '  %-20s %9s %12s %11s %6s %14s\n' "qvftp's check" full "cut at bytes" resumed ratio \
  "curl -C - -T"
measure "size check (SIZE)"
measure "size + HASH SHA-256" --hash
