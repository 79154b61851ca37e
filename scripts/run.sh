#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds Quorvan FTP and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh "bash scripts/run.sh"
exec "$(bash scripts/build.sh | tail -n 1)"/quorvan-ftp "$@"
