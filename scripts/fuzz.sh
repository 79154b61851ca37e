#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/.
#   scripts/fuzz.sh build          build only
#   scripts/fuzz.sh run SECONDS    build, then run every target for SECONDS each
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-build}
secs=${2:-30}
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DQUORVAN_FUZZ=ON -DQUORVAN_APP=OFF \
  -DQUORVAN_TESTS=OFF -DQUORVAN_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j "$(nproc)"
if [ "$mode" = run ]; then
  for f in build-fuzz/fuzz/fuzz_*; do
    [ -x "$f" ] || continue
    name=$(basename "$f")
    corpus=build-fuzz/corpus/$name
    mkdir -p "$corpus"
    seeds=fuzz/corpus/$name
    echo "== $name for ${secs}s"
    # The seed folder also holds every input that once crashed a target, so
    # each run replays them first.
    "$f" -max_total_time="$secs" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix=build-fuzz/ "$corpus" $( [ -d "$seeds" ] && echo "$seeds" )
  done
fi
