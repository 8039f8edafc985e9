#!/usr/bin/env bash
# Installs the Debian 12 packages that are missing, but only those:
#   setup.sh drill   what building and running the drill needs
#   setup.sh test    that and everything the tests need (the default)
# Works as root and through sudo.
set -euo pipefail

what=${1:-test}
case "$what" in
  drill|test) ;;
  *) echo "usage: setup.sh [drill|test]" >&2; exit 2 ;;
esac

PACKAGES=(
  # build
  build-essential cmake ninja-build python3 pkg-config
  # libraries
  zlib1g-dev qt6-base-dev
  # the fast inflate and deflate engines of the codec (zlib stays the fallback)
  # and the optimising save's strongest deflate
  libisal-dev libdeflate-dev libzopfli-dev
  # fonts standing in for the Japanese faces
  fonts-ipafont-gothic fonts-ipafont-mincho
)
if [ "$what" = test ]; then
  PACKAGES+=(
    libgtest-dev
    # test peers: independent image readers and checkers, a display and a
    # window manager for the window tests and screenshots, the sanitizer
    # runtime and the fuzzers' compiler
    imagemagick pngcheck python3-pil xvfb xauth xdotool x11-utils openbox
    clang libclang-rt-14-dev valgrind
    # the Debian package: its dependencies (dpkg-shlibdeps) and its check
    dpkg-dev file
    # reading checks for the banks
    mecab mecab-ipadic-utf8
    # the joyo readings table is checked against KANJIDIC
    kanjidic
    # benchmark peers (never linked into the product); /usr/bin/time for
    # the memory script
    libpng-dev libspng-dev liblodepng-dev libstb-dev time
    # the optimising-save benchmark: its peers, and the photos and icons
    # of its corpus
    optipng zopfli mate-backgrounds adwaita-icon-theme
  )
fi

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
