#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the normal build's
# tests, then the Qt-free libraries' tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh test
bash scripts/build.sh

echo "== tests (normal build)"
ctest --test-dir build --output-on-failure -j "$(nproc)"

echo "== tests (AddressSanitizer + UndefinedBehaviorSanitizer, Qt-free libraries)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DTOBELIN_WITH_QT=OFF -DTOBELIN_SANITIZE=ON >/dev/null
cmake --build build-asan -j "$(nproc)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$(nproc)"

echo "== fuzz targets (clang, libFuzzer + AddressSanitizer + UndefinedBehaviorSanitizer)"
# Every fuzz target for a bounded time (FUZZ_SECONDS each, default 60);
# any crash, leak, timeout or sanitizer report fails the script.
(
  fuzz_work=$(mktemp -d "${TMPDIR:-/tmp}/tobelin-fuzz.XXXXXX")
  trap 'rm -rf "$fuzz_work"' EXIT
  FUZZ_BUILD_DIR=build-fuzz FUZZ_WORK_DIR="$fuzz_work" FUZZ_LOG_DIR="$fuzz_work/logs" \
    bash fuzz/run.sh all "${FUZZ_SECONDS:-60}" || {
      for log in "$fuzz_work"/logs/*.log; do
        echo "---- $log"; tail -n 60 "$log"
      done
      exit 1
    }
)
