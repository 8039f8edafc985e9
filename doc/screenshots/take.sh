#!/usr/bin/env bash
# Takes the README's screenshots from a real run of the built drill on a
# virtual screen: bash doc/screenshots/take.sh [DRILL] [DISPLAY_NUMBER]
set -uo pipefail
cd "$(dirname "$0")"
drill=${1:-../../build/bin/tobelin}
source ../../tests/desktop/session.sh
trap stop_session EXIT
start_session "${2:-94}" 1024x768x24
"$drill" >/dev/null 2>&1 &
pid=$!
w=$(drill_window) || exit 1
sleep 1
shot() { sleep 0.7; import -window "$w" "$1.png"; }
shot menu
xdotool windowactivate --sync "$w" key Return; shot idiom-question
xdotool key 2; shot idiom-answer
xdotool key Escape Down Down Return; shot reading-question-empty
xdotool type --delay 80 "kotae"; shot reading-question
xdotool key Return; shot reading-answer
rm -f reading-question-empty.png
kill "$pid"
