# Sourced by the desktop checks: a virtual screen with a window manager,
# and the drill's frame as the window manager placed it.
#   start_session DISPLAY_NUMBER GEOMETRY   (e.g. 1024x768x24)
#   frame_of_drill                          prints "X Y WIDTH HEIGHT"
#   stop_session
session_pids=()

start_session() {
    export DISPLAY=:$1
    Xvfb "$DISPLAY" -screen 0 "$2" -nolisten tcp >/dev/null 2>&1 &
    session_pids+=($!)
    for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
    openbox >/dev/null 2>&1 &
    session_pids+=($!)
    sleep 0.5
}

# Waits for the drill's window and for the window manager's frame around it.
drill_window() {
    local w=""
    for _ in $(seq 100); do
        w=$(xdotool search --name "^Tobelin Ver0.21$" 2>/dev/null | head -1)
        [ -n "$w" ] && break
        sleep 0.1
    done
    [ -n "$w" ] || return 1
    echo "$w"
}

frame_of_drill() {
    local w parent
    w=$(drill_window) || return 1
    for _ in $(seq 50); do
        parent=$(xwininfo -id "$w" -tree | sed -n 's/.*Parent window id: \(0x[0-9a-f]*\).*/\1/p')
        xwininfo -id "$parent" 2>/dev/null | grep -q "Map State: IsViewable" && break
        sleep 0.1
    done
    # The drill may move its window once more when it learns its frame:
    # report the frame once it has stood still for a while.
    local last="" now
    for _ in $(seq 30); do
        sleep 0.3
        now=$(xwininfo -id "$parent" | awk '/Absolute upper-left X/{x=$4} /Absolute upper-left Y/{y=$4}
            /Width:/{w=$2} /Height:/{h=$2} END{print x, y, w, h}')
        [ "$now" = "$last" ] && break
        last=$now
    done
    echo "$now"
}

stop_session() {
    local i
    for ((i = ${#session_pids[@]} - 1; i >= 0; i--)); do
        kill "${session_pids[i]}" 2>/dev/null
        wait "${session_pids[i]}" 2>/dev/null
    done
    session_pids=()
}
