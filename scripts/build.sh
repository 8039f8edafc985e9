#!/usr/bin/env bash
# Configures and builds the whole project into build/ (the drill lands in
# build/bin with its Question folder beside it).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
