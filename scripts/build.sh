#!/usr/bin/env bash
# Configures and builds into build/ (or build-asan/ with QUORVAN_SANITIZE=1).
# QUORVAN_SANITIZE=thread builds, into build-tsan/, only qvftp and the tests
# that run sessions on several threads, under ThreadSanitizer.
# Build output goes to stderr; the last line on stdout is the build directory.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
args=()
targets=()
if [ "${QUORVAN_SANITIZE:-0}" = 1 ]; then
  dir=build-asan
  args+=(-DQUORVAN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DQUORVAN_BENCH=OFF)
elif [ "${QUORVAN_SANITIZE:-0}" = thread ]; then
  dir=build-tsan
  args+=(-DQUORVAN_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug -DQUORVAN_BENCH=OFF
    -DQUORVAN_APP=OFF)
  targets+=(--target qvftp test_cli)
fi
cmake -S . -B "$dir" -G Ninja "${args[@]}" >&2
cmake --build "$dir" -j "$(nproc)" "${targets[@]}" >&2
echo "$dir"
