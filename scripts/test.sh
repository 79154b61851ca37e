#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds Quorvan FTP with its tests, builds
# and checks the Debian package, and runs the whole suite. QUORVAN_SANITIZE=1
# builds and runs the suite under AddressSanitizer and
# UndefinedBehaviorSanitizer instead (and leaves the package alone);
# QUORVAN_SANITIZE=thread runs only the tests of parallel sessions (and TLS ones) under
# ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh "bash scripts/test.sh"
if [ "$(id -u)" -ne 0 ]; then
  {
    echo "Not root: the tests that need root (vsftpd, danted) will be skipped."
    if command -v sudo >/dev/null; then
      echo "For the whole suite: sudo bash scripts/test.sh"
    else
      echo "For the whole suite, become root with 'su -' (sudo is not installed)"
      echo "and run: bash scripts/test.sh"
    fi
  } >&2
fi
dir=$(bash scripts/build.sh | tail -n 1)

if [ "${QUORVAN_SANITIZE:-0}" = 0 ]; then
  bash scripts/check-package.sh
fi

if [ "${QUORVAN_SANITIZE:-0}" = 1 ]; then
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
fi
export QT_QPA_PLATFORM=offscreen
cd "$dir"
if [ "${QUORVAN_SANITIZE:-0}" = thread ]; then
  # A report makes qvftp exit with 66, which fails the row that ran it.
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
  ctest --output-on-failure -j "$(nproc)" --timeout 300 -R 'Parallel|TreesUpDown|OverTls'
  exit
fi
ctest --output-on-failure -j "$(nproc)" --timeout 900
