#!/usr/bin/env bash
# Configures and builds into build/ (or build-asan/ with QUORVAN_SANITIZE=1).
# Build output goes to stderr; the last line on stdout is the build directory.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
args=()
if [ "${QUORVAN_SANITIZE:-0}" = 1 ]; then
  dir=build-asan
  args+=(-DQUORVAN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DQUORVAN_BENCH=OFF)
fi
cmake -S . -B "$dir" -G Ninja "${args[@]}" >&2
cmake --build "$dir" -j "$(nproc)" >&2
echo "$dir"
