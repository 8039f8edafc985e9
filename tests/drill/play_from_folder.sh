#!/usr/bin/env bash
# Copies the built drill with its Question folder into a folder whose name
# holds characters Shift-JIS lacks (an accented letter and an emoji), starts
# it on its own X display under a window manager, and plays one question of
# the idiom drill with real key presses: the answer screen must show the
# judgement mark, and no error box may open.
#   play_from_folder.sh RUNTIME_DIR
set -euo pipefail

runtime=$1
work=$(mktemp -d /tmp/tobelin-drill-XXXXXX)
folder="$work/drill café 🐱"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$folder"
cp "$runtime/tobelin" "$folder/"
cp -r "$runtime/Question" "$folder/"

# Xvfb names the display it found free on descriptor 3.
exec 3> "$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 2> "$work/xvfb.log" &
pids+=($!)
exec 3>&-
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$work/display")"
openbox > "$work/openbox.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.1
done

cd "$folder"
./tobelin > "$work/drill.log" 2>&1 &
pids+=($!)

windows() { xdotool search --onlyvisible --name '^Tobelin' 2>/dev/null || true; }
window=
for _ in $(seq 100); do
    window=$(windows | head -n1)
    [ -n "$window" ] && break
    sleep 0.1
done
[ -n "$window" ] || { echo "the drill's window never appeared"; cat "$work/drill.log"; exit 1; }
xdotool windowactivate --sync "$window"

# Pixels of the judgement marks: red for right, blue for wrong.
marks() {
    import -window "$window" "$work/$1.png"
    convert "$work/$1.png" -format %c histogram:info:- | grep -ciE '#(FF0000|0000FF)' || true
}
settle() { sleep 0.5; }

xdotool key --window "$window" Return
settle
[ "$(windows | wc -l)" -eq 1 ] || { echo "an error box opened on the question screen"; exit 1; }
[ "$(marks question)" -eq 0 ] || { echo "the question screen shows a mark"; exit 1; }
xdotool key --window "$window" 1
settle
[ "$(windows | wc -l)" -eq 1 ] || { echo "an error box opened on the answer screen"; exit 1; }
[ "$(marks answer)" -gt 0 ] || { echo "the answer screen shows no mark"; exit 1; }
echo "played one question from $folder"
