#!/usr/bin/env bash
# The drill's window under a real window manager: on a screen wide enough
# its frame stands at the design position (417, 196); on a 1024 x 768
# screen it is moved just inside, its right edge on the screen's.
#   window_on_screen.sh DRILL DISPLAY_NUMBER
set -uo pipefail
drill=$1
source "$(dirname "$0")/session.sh"
trap stop_session EXIT
status=0
check() {  # GEOMETRY DISPLAY_NUMBER EXPECTED_X ("right": at the right edge) EXPECTED_Y
    start_session "$2" "$1"
    "$drill" >/dev/null 2>&1 &
    local pid=$!
    read -r x y w h < <(frame_of_drill)
    kill "$pid"; wait "$pid" 2>/dev/null
    stop_session
    local screen_w=${1%%x*} rest=${1#*x}
    local screen_h=${rest%%x*}
    local want_x=$3
    [ "$want_x" = right ] && want_x=$((screen_w - w))
    if [ "$x" != "$want_x" ] || [ "$y" != "$4" ] || [ $((x + w)) -gt "$screen_w" ] || [ $((y + h)) -gt "$screen_h" ]; then
        echo "FAIL $1: frame ${w}x${h} at ($x, $y), expected at ($want_x, $4)"
        status=1
    else
        echo "ok   $1: frame ${w}x${h} at ($x, $y)"
    fi
}
check 1920x1080x24 $(($2)) 417 196
check 1024x768x24 $(($2 + 1)) right 196
exit $status
