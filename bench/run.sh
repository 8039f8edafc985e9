#!/usr/bin/env bash
# Builds the benchmark (Release, without Qt), writes the corpus once into
# build-bench/corpus and runs it. Extra arguments go to the benchmark,
# e.g. --runs 15 or a list of corpus names. TOBELIN_INFLATE=zlib|isal
# chooses the decoder's inflate engine of that build (default: isal where
# installed).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TOBELIN_BENCH_BUILD:-$root/build-bench}

engine=()
if [[ -n ${TOBELIN_INFLATE:-} ]]; then engine=(-DTOBELIN_INFLATE="$TOBELIN_INFLATE"); fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOBELIN_WITH_QT=OFF "${engine[@]}" >/dev/null
ninja -C "$build" -j2 make_corpus tobelin_bench

corpus=$build/corpus
stamp=$corpus/.made
if [[ ! -f $stamp || $build/bench/make_corpus -nt $stamp ]]; then
  mkdir -p "$corpus"
  "$build/bench/make_corpus" "$corpus"
  touch "$stamp"
fi

check=()
if [[ -f $root/bench/encoder-outputs.crc ]]; then
  check=(--check "$root/bench/encoder-outputs.crc")
fi
exec "$build/bench/tobelin_bench" "${check[@]}" "$corpus" "$@"
