#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs one target, or all of them
# one after the other, for the given number of seconds each.
#
#   fuzz/run.sh png_load|png_roundtrip|bank_text|all SECONDS
#
# Each run starts from the seed corpus in fuzz/corpus/<target> and grows a
# working corpus outside the repository (FUZZ_WORK_DIR, default a fresh
# temporary folder). Crash, leak, timeout and out-of-memory inputs land in
# FUZZ_ARTIFACT_DIR (default the working folder). Exits non-zero as soon as
# a target reports any of them.
#
# Environment: FUZZ_BUILD_DIR (default build-fuzz), FUZZ_WORK_DIR,
# FUZZ_ARTIFACT_DIR, FUZZ_LOG_DIR (default: output to the terminal only),
# FUZZ_JOBS (build parallelism, default 2), FUZZ_INFLATE (the decoder's
# inflate engine, zlib or isal), FUZZ_DEFLATE (the encoder's deflate engine,
# zlib or libdeflate); both default to that of the build folder, else to
# the fast engine where installed.
set -euo pipefail
cd "$(dirname "$0")/.."

TARGETS=(png_load png_roundtrip bank_text)

usage() {
  echo "usage: $0 png_load|png_roundtrip|bank_text|all SECONDS" >&2
  exit 2
}

[ $# -eq 2 ] || usage
what=$1
seconds=$2
[[ $seconds =~ ^[0-9]+$ ]] && [ "$seconds" -gt 0 ] || usage
if [ "$what" = all ]; then
  selected=("${TARGETS[@]}")
else
  case " ${TARGETS[*]} " in
    *" $what "*) selected=("$what") ;;
    *) usage ;;
  esac
fi

build=${FUZZ_BUILD_DIR:-build-fuzz}
engine=()
if [[ -n ${FUZZ_INFLATE:-} ]]; then engine+=(-DTOBELIN_INFLATE="$FUZZ_INFLATE"); fi
if [[ -n ${FUZZ_DEFLATE:-} ]]; then engine+=(-DTOBELIN_DEFLATE="$FUZZ_DEFLATE"); fi
cmake -S fuzz -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ "${engine[@]}" >/dev/null
cmake --build "$build" -j "${FUZZ_JOBS:-2}" --target "${selected[@]}"

work=${FUZZ_WORK_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/tobelin-fuzz.XXXXXX")}
mkdir -p "$work"
artifacts=${FUZZ_ARTIFACT_DIR:-$work}
mkdir -p "$artifacts"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

for target in "${selected[@]}"; do
  corpus="$work/corpus-$target"
  mkdir -p "$corpus"
  args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$artifacts/$target-" "$corpus" "fuzz/corpus/$target")
  echo "== fuzz $target for $seconds s"
  status=0
  if [ -n "${FUZZ_LOG_DIR:-}" ]; then
    mkdir -p "$FUZZ_LOG_DIR"
    log="$FUZZ_LOG_DIR/$target.log"
    "$build/$target" "${args[@]}" >"$log" 2>&1 || status=$?
    grep -E '^#[0-9]+[[:space:]]+DONE|^stat::' "$log" || true
  else
    "$build/$target" "${args[@]}" || status=$?
  fi
  if [ "$status" -ne 0 ]; then
    echo "fuzz $target FAILED (exit $status); reproducer in $artifacts" >&2
    exit 1
  fi
  echo "fuzz $target passed"
done
