#!/usr/bin/env bash
# Installs the Debian 12 packages that the build, the drill and the tests
# need, but only those that are missing. Works as root and through sudo.
set -euo pipefail

PACKAGES=(
  # build
  build-essential cmake ninja-build python3 pkg-config
  # libraries
  zlib1g-dev libgtest-dev qt6-base-dev
  # fonts standing in for the Japanese faces
  fonts-ipafont-gothic fonts-ipafont-mincho
  # test peers: independent image readers and checkers, a display for the
  # window tests, the sanitizer runtime and the fuzzers' compiler
  imagemagick pngcheck python3-pil xvfb xauth xdotool x11-utils
  clang libclang-rt-14-dev valgrind
  # reading checks for the banks
  mecab mecab-ipadic-utf8
  # the joyo readings table is checked against KANJIDIC
  kanjidic
  # benchmark peers (never linked into the product)
  libpng-dev libspng-dev liblodepng-dev libstb-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=()
if [ "$(id -u)" -ne 0 ]; then
  SUDO=(sudo)
fi
echo "Installing: ${missing[*]}"
"${SUDO[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
