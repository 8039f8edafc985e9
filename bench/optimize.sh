#!/usr/bin/env bash
# The optimising save beside optipng -o2, optipng -o7 and zopflipng -m:
# builds pngconv (Release, without Qt) in build-bench, writes the corpus
# once into build-bench/opt-corpus with make_opt_corpus.sh and runs
# optimize.py on it. Extra arguments keep only the corpus files whose names
# contain one of them. TOBELIN_OPT_CORPUS names a corpus folder made
# elsewhere (then used as it is), TOBELIN_BENCH_BUILD another build folder,
# TOBELIN_DRILL the drill whose screenshots go into a new corpus (default:
# build/bin/tobelin of this tree).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TOBELIN_BENCH_BUILD:-$root/build-bench}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOBELIN_WITH_QT=OFF >/dev/null
ninja -C "$build" -j2 pngconv >/dev/null

corpus=${TOBELIN_OPT_CORPUS:-}
if [[ -z $corpus ]]; then
  corpus=$build/opt-corpus
  stamp=$corpus/.made
  if [[ ! -f $stamp || $root/bench/make_opt_corpus.sh -nt $stamp ]]; then
    bash "$root/bench/make_opt_corpus.sh" "$corpus" "${TOBELIN_DRILL:-$root/build/bin/tobelin}"
    touch "$stamp"
  fi
fi
# Debian's Python, which has PIL, before any other python3 on PATH.
exec /usr/bin/python3 "$root/bench/optimize.py" "$build/bin/pngconv" "$corpus" "$@"
