#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the normal build's
# tests, then the Qt-free libraries' tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the codec's and the tools' tests on the
# zlib engines (the normal build takes ISA-L and libdeflate where
# installed), then the codec's tests under ThreadSanitizer (the decoder and
# the optimising save run on two threads), then the fuzz targets on both
# engines. Exits non-zero when anything fails.
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

echo "== codec and tools tests (zlib engines, Qt-free)"
cmake -S . -B build-zlib -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTOBELIN_WITH_QT=OFF -DTOBELIN_INFLATE=zlib -DTOBELIN_DEFLATE=zlib >/dev/null
cmake --build build-zlib -j "$(nproc)" --target codec_tests tools_tests pngconv banktool
build-zlib/tests/codec_tests
build-zlib/tests/tools_tests

echo "== codec tests (ThreadSanitizer)"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOBELIN_WITH_QT=OFF \
  -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread >/dev/null
cmake --build build-tsan -j "$(nproc)" --target codec_tests
TSAN_OPTIONS=halt_on_error=1 build-tsan/tests/codec_tests

echo "== fuzz targets (clang, libFuzzer + AddressSanitizer + UndefinedBehaviorSanitizer)"
# Every fuzz target for a bounded time (FUZZ_SECONDS each, default 60) on
# the default engines, then the PNG targets for a third of it on zlib;
# any crash, leak, timeout or sanitizer report fails the script.
(
  fuzz_work=$(mktemp -d "${TMPDIR:-/tmp}/tobelin-fuzz.XXXXXX")
  trap 'rm -rf "$fuzz_work"' EXIT
  zlib_seconds=$(( ${FUZZ_SECONDS:-60} / 3 > 0 ? ${FUZZ_SECONDS:-60} / 3 : 1 ))
  show_logs() {
    for log in "$fuzz_work"/logs/*.log; do
      echo "---- $log"; tail -n 60 "$log"
    done
    exit 1
  }
  FUZZ_BUILD_DIR=build-fuzz FUZZ_WORK_DIR="$fuzz_work" FUZZ_LOG_DIR="$fuzz_work/logs" \
    bash fuzz/run.sh all "${FUZZ_SECONDS:-60}" || show_logs
  for target in png_load png_roundtrip; do
    FUZZ_BUILD_DIR=build-fuzz-zlib FUZZ_INFLATE=zlib FUZZ_DEFLATE=zlib FUZZ_WORK_DIR="$fuzz_work/zlib" FUZZ_LOG_DIR="$fuzz_work/logs" \
      bash fuzz/run.sh "$target" "$zlib_seconds" || show_logs
  done
)
