#!/usr/bin/env bash
# Builds the Debian package from the build folder, checks that it lists the
# drill with its banks, the tools, the man pages, the menu entry and the
# icon, and plays one idiom question with the drill extracted from it.
#   package_plays.sh BUILD_DIR DISPLAY_NUMBER
set -uo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/tobelin-package.XXXXXX")
source "$here/session.sh"
trap 'stop_session; rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/out/tobelin_*.deb) || exit 1
listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
status=0
for want in ./usr/lib/tobelin/tobelin ./usr/lib/tobelin/Question/four.dat \
            ./usr/lib/tobelin/Question/tanbun_yomi.dat ./usr/bin/tobelin ./usr/bin/pngconv \
            ./usr/bin/banktool ./usr/share/man/man6/tobelin.6 ./usr/share/man/man1/pngconv.1 ./usr/share/man/man1/banktool.1 ./usr/share/applications/tobelin.desktop \
            ./usr/share/icons/hicolor/48x48/apps/tobelin.png ./usr/share/doc/tobelin/copyright; do
    grep -qx -- "$want" <<<"$listing" || { echo "FAIL: the package lacks $want"; status=1; }
done
dpkg-deb -f "$deb" Depends | grep -q fonts-ipafont-gothic || { echo "FAIL: no font dependency"; status=1; }

# Play: through the /usr/bin link, as the menu entry starts it.
dpkg-deb -x "$deb" "$work/root"
start_session "$2" 1024x768x24
"$work/root/usr/bin/tobelin" >/dev/null 2>&1 &
pid=$!
w=$(drill_window) || { echo "FAIL: no window"; exit 1; }
sleep 1
shot() { sleep 0.5; import -window "$w" "$work/$1.png" && md5sum <"$work/$1.png"; }
menu=$(shot menu)
xdotool windowactivate --sync "$w" key Return
question=$(shot question)
xdotool key 1
answer=$(shot answer)
kill "$pid"; wait "$pid" 2>/dev/null
if [ "$menu" = "$question" ] || [ "$question" = "$answer" ]; then
    echo "FAIL: the screens did not change (menu, question, answer)"; status=1
fi
# The question screen shows the bank's text: with a missing bank the drill
# would show an error box instead and keep the menu.
[ $status -eq 0 ] && echo "ok: $(basename "$deb") lists its files and plays"
exit $status
