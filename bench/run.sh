#!/usr/bin/env bash
# Builds the benchmark (Release, without Qt), writes the corpus once into
# build-bench/corpus and runs it. Extra arguments go to the benchmark,
# e.g. --runs 15 or a list of corpus names. TOBELIN_INFLATE=zlib|isal
# and TOBELIN_DEFLATE=zlib|libdeflate choose the engines of that build
# (default: the fast ones where installed); the encoder outputs are
# checked against the CRC list of the deflate engine that ran.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TOBELIN_BENCH_BUILD:-$root/build-bench}

engine=()
if [[ -n ${TOBELIN_INFLATE:-} ]]; then engine+=(-DTOBELIN_INFLATE="$TOBELIN_INFLATE"); fi
if [[ -n ${TOBELIN_DEFLATE:-} ]]; then engine+=(-DTOBELIN_DEFLATE="$TOBELIN_DEFLATE"); fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOBELIN_WITH_QT=OFF "${engine[@]}" >/dev/null
ninja -C "$build" -j2 make_corpus tobelin_bench

corpus=$build/corpus
stamp=$corpus/.made
if [[ ! -f $stamp || $build/bench/make_corpus -nt $stamp ]]; then
  mkdir -p "$corpus"
  "$build/bench/make_corpus" "$corpus"
  touch "$stamp"
fi

deflate=$(sed -n 's/^TOBELIN_DEFLATE:STRING=//p' "$build/CMakeCache.txt")
crcs=$root/bench/encoder-outputs.crc
[[ $deflate = libdeflate ]] && crcs=$root/bench/encoder-outputs-libdeflate.crc
check=()
if [[ -f $crcs ]]; then
  check=(--check "$crcs")
fi
exec "$build/bench/tobelin_bench" "${check[@]}" "$corpus" "$@"
