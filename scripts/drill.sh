#!/usr/bin/env bash
# Installs what the drill needs and is missing, builds, and starts the drill.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh drill
bash scripts/build.sh
exec ./build/bin/tobelin
