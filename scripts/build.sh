#!/usr/bin/env bash
# Configures and builds into build/ (or build-asan/ with QUORVAN_SANITIZE=1).
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
args=()
if [ "${QUORVAN_SANITIZE:-0}" = 1 ]; then
  dir=build-asan
  args+=(-DQUORVAN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DQUORVAN_BENCH=OFF)
fi
cmake -S . -B "$dir" -G Ninja "${args[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)"
echo "$dir"
