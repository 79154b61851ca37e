#!/usr/bin/env bash
# An upload over a slow link (a private pyftpdlib adding a 50 ms round trip to
# every reply and every data connection, with HASH for the check) cut off at
# half, then resumed and verified by qvftp, beside the same upload in full:
#   bench/resume_upload.sh [MiB]        (default 1024)
# Needs build/qvftp and /usr/bin/python3 with pyftpdlib. Nothing is left behind.
set -euo pipefail
cd "$(dirname "$0")/.."
mib=${1:-1024}
qvftp=build/qvftp
[ -x "$qvftp" ] || { echo "build qvftp first" >&2; exit 1; }
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

# start_server NAME EXTRA...: prints the port once the server answers.
start_server() {
  local name=$1
  shift
  mkdir -p "$work/$name"
  local port
  port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  /usr/bin/python3 -I tests/support/pyftpd_server.py --port "$port" --root "$work/$name" \
    --user bench --password bench --delay-ms 50 --hash "$@" >"$work/$name.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    (exec 9<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && { echo "$port"; return 0; }
    sleep 0.1
  done
  echo "pyftpdlib did not start" >&2
  return 1
}

seconds() { /usr/bin/python3 -c 'import time; print(time.monotonic())'; }

head -c "${mib}M" /dev/urandom >"$work/file.bin"
half=$((mib * 1024 * 1024 / 2))
full_port=$(start_server full)
cut_port=$(start_server cut --drop-data-after "$half")
run() { "$qvftp" -q --user bench:bench --retries 0 "$@"; }

t0=$(seconds)
run --verify put "$work/file.bin" "ftp://127.0.0.1:$full_port/file.bin"
t1=$(seconds)
run put "$work/file.bin" "ftp://127.0.0.1:$cut_port/file.bin" 2>/dev/null && {
  echo "the upload was not cut" >&2; exit 1; }
kept=$(stat -c %s "$work/cut/file.bin")
t2=$(seconds)
run --resume --verify -v put "$work/file.bin" "ftp://127.0.0.1:$cut_port/file.bin" 2>"$work/resume.err"
t3=$(seconds)
cmp -s "$work/file.bin" "$work/cut/file.bin" || { echo "resumed copy differs" >&2; exit 1; }
check=$(grep '^\* checked' "$work/resume.err" || true)
/usr/bin/python3 - "$mib" "$kept" "$t0" "$t1" "$t2" "$t3" "$check" <<'PY'
import sys
mib, kept = int(sys.argv[1]), int(sys.argv[2])
t0, t1, t2, t3 = map(float, sys.argv[3:7])
full, resumed = t1 - t0, t3 - t2
print(f"{mib} MiB upload, 50 ms round trip, verified by HASH SHA-256")
print(f"  full upload + check        {full:8.2f} s")
print(f"  resume after the cut ({kept} bytes kept) + check {resumed:8.2f} s")
print(f"  ratio resumed/full         {resumed / full:8.2f}  (target < 0.6)")
print(f"  {sys.argv[7]}")
PY
