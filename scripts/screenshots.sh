#!/usr/bin/env bash
# Reproduces the pictures in docs/ on a virtual display with a window manager and a tray:
# the main window in Chinese and in English after three messages went through it (one
# relayed, one deferred, one failed), the queue window with a row selected and the advanced
# settings dialog. Installs what is missing and builds build/ first. Needs root: the peers
# (scripts/screenshots_scene.py) listen on ports 25 and 53 of 127.0.0.80 to .83.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

if [ "$(id -u)" -ne 0 ]; then
    echo "screenshots.sh: run it as root; the DNS server and the sinks need ports 53 and 25" >&2
    exit 1
fi
ensure_packages "${BUILD_PACKAGES[@]}" "${SHOT_PACKAGES[@]}"
ensure_locale zh_CN
ensure_locale en_US
build_tree build -DLUMENPOST_TESTS=OFF

PROGRAM="$ROOT/build/lumenpost"
SCENE="$ROOT/scripts/screenshots_scene.py"
DOCS="$ROOT/docs"
TITLE='Lumenpost V1.3' # the main window's title, the same in every language
WAIT_S=20              # seconds any single wait may take
SCREEN_WIDTH=1280
SCREEN_HEIGHT=800
MARGIN=40 # pixels of desktop around the main window in its pictures
WORK="$(mktemp -d)"
STARTED=()

# stop_pid PID: asks a process we started to end, then forces it after a few seconds.
stop_pid() {
    local pid="$1" i
    kill -TERM "$pid" 2>/dev/null || return 0
    for ((i = 0; i < 50; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

# stop_scene: ends the current scene (its peers and program) and forgets its id.
stop_scene() {
    local kept=() pid
    stop_pid "$SCENE_PID"
    for pid in "${STARTED[@]}"; do
        [ "$pid" = "$SCENE_PID" ] || kept+=("$pid")
    done
    STARTED=("${kept[@]}")
}

cleanup() {
    local i
    for ((i = ${#STARTED[@]} - 1; i >= 0; i--)); do
        stop_pid "${STARTED[i]}"
    done
    rm -rf "$WORK"
}
trap cleanup EXIT

# wait_for WHAT COMMAND...: runs COMMAND until it succeeds, at most WAIT_S seconds.
wait_for() {
    local what="$1" deadline=$((SECONDS + WAIT_S))
    shift
    until "$@" >/dev/null 2>&1; do
        if [ "$SECONDS" -ge "$deadline" ]; then
            echo "screenshots.sh: $what did not come within $WAIT_S s" >&2
            tail -n 20 "$WORK"/*.log >&2
            exit 1
        fi
        sleep 0.2
    done
}

start_display() {
    # Xvfb picks a free display number itself and writes it to descriptor 3; -noreset keeps
    # it from resetting (and refusing clients for a moment) whenever its last client leaves.
    Xvfb -displayfd 3 -screen 0 "${SCREEN_WIDTH}x${SCREEN_HEIGHT}x24" -nolisten tcp -noreset \
        3>"$WORK/display" 2>"$WORK/xvfb.log" &
    STARTED+=($!)
    wait_for "the virtual display" grep -q '[0-9]' "$WORK/display"
    DISPLAY=":$(tr -dc '0-9' <"$WORK/display")"
    export DISPLAY
    wait_for "the virtual display" xdotool getdisplaygeometry
    openbox --sm-disable >"$WORK/openbox.log" 2>&1 &
    STARTED+=($!)
    # The tray, like every window, comes once the window manager runs, so that it is managed.
    wait_for "the window manager" xdotool search --class openbox
    trayer --edge top --align right --widthtype pixel --width 120 --height 26 --transparent false \
        --tint 0xdddddd --SetDockType true --SetPartialStrut true >"$WORK/trayer.log" 2>&1 &
    STARTED+=($!)
    wait_for "the tray" xdotool search --onlyvisible --class trayer
    # A plain blue desktop (display says 1 even when it set it).
    display -window root -size "${SCREEN_WIDTH}x${SCREEN_HEIGHT}" xc:'#3b6e8f' || true
}

# visible_windows PID: the ids of the process's mapped windows, one a line.
visible_windows() {
    xdotool search --all --onlyvisible --pid "$1" 2>/dev/null | sort || true
}

# new_window PID KNOWN: waits for a mapped window of PID not among KNOWN and prints its id.
new_window() {
    local pid="$1" known="$2" deadline=$((SECONDS + WAIT_S)) id
    while [ "$SECONDS" -lt "$deadline" ]; do
        id="$(comm -13 <(echo "$known") <(visible_windows "$pid") | head -n 1)"
        if [ -n "$id" ]; then
            sleep 1 # let it paint
            echo "$id"
            return 0
        fi
        sleep 0.2
    done
    echo "screenshots.sh: no new window of process $pid within $WAIT_S s" >&2
    return 1
}

# size ID: sets WIDTH and HEIGHT to the window's size (its place as xdotool gives it is
# off by the frame under a window manager; clicks are relative to the window instead).
size() {
    eval "$(xdotool getwindowgeometry --shell "$1" | grep -E '^(WIDTH|HEIGHT)=[0-9]+$')"
}

# origin ID: sets LEFT and TOP to the screen position of the window's top left corner.
origin() {
    xdotool mousemove --sync --window "$1" 0 0
    eval "$(xdotool getmouselocation --shell | grep -E '^[XY]=[0-9]+$')"
    LEFT="$X" TOP="$Y"
}

# click ID X Y [COUNT]: clicks the left button COUNT times (1) at X,Y inside window ID.
click() {
    xdotool mousemove --sync --window "$1" "$2" "$3" click --repeat "${4:-1}" --delay 120 1
}

# Out of the way, so that no tooltip or hover shows in a picture.
park_pointer() {
    xdotool mousemove --sync 0 $((SCREEN_HEIGHT - 1))
    sleep 0.5
}

# start_scene NAME LOCALE: peers, the program in LOCALE and the mail; sets SCENE_PID and
# APP_PID once the outcomes are in.
start_scene() {
    local name="$1" locale="$2"
    mkdir -p "$WORK/$name"
    /usr/bin/python3 "$SCENE" "$WORK/$name" "$PROGRAM" "$locale" >"$WORK/$name.out" \
        2>"$WORK/$name.log" &
    SCENE_PID=$!
    STARTED+=("$SCENE_PID")
    local deadline=$((SECONDS + WAIT_S * 3))
    until grep -qsx ready "$WORK/$name.out"; do
        if ! kill -0 "$SCENE_PID" 2>/dev/null || [ "$SECONDS" -ge "$deadline" ]; then
            echo "screenshots.sh: the $name scene did not get ready:" >&2
            cat "$WORK/$name.log" >&2
            exit 1
        fi
        sleep 0.2
    done
    APP_PID="$(sed -n 's/^pid //p' "$WORK/$name.out")"
}

# main_window PID: waits for the program's main window and prints its id.
main_window() {
    wait_for "the main window" xdotool search --all --onlyvisible --pid "$1" --name "^$TITLE\$"
    xdotool search --all --onlyvisible --pid "$1" --name "^$TITLE\$" | head -n 1
}

# Succeeds when the program shows its main window and its tray icon and nothing else: the
# failure's balloon (shown for 10 s, or not at all when the icon was not embedded yet) has
# gone, so that every run gives the same picture.
window_and_tray_only() {
    [ "$(visible_windows "$1" | wc -l)" -eq 2 ]
}

# shoot_main NAME LOCALE: docs/window-NAME.png, the screen from the window's left edge to
# the tray in the top right corner.
shoot_main() {
    start_scene "$1" "$2"
    MAIN_ID="$(main_window "$APP_PID")"
    wait_for "the window with its tray icon alone" window_and_tray_only "$APP_PID"
    origin "$MAIN_ID"
    size "$MAIN_ID"
    park_pointer
    local left=$((LEFT > MARGIN ? LEFT - MARGIN : 0))
    import -window root "$WORK/screen.png"
    convert "$WORK/screen.png" -crop "$((SCREEN_WIDTH - left))x$((TOP + HEIGHT + MARGIN))+$left+0" \
        +repage "$DOCS/window-$1.png"
}

# The queue window (a double click on the status bar) with its first row selected, then
# the advanced settings dialog (the queue window's button at the bottom right).
shoot_queue_and_settings() {
    local known queue_id settings_id
    size "$MAIN_ID"
    known="$(visible_windows "$APP_PID")"
    click "$MAIN_ID" 60 $((HEIGHT - 9)) 2
    queue_id="$(new_window "$APP_PID" "$known")"
    size "$queue_id"
    click "$queue_id" 60 45 # the first row, below the header
    park_pointer
    import -frame -window "$queue_id" "$DOCS/queue-window.png"

    known="$(visible_windows "$APP_PID")"
    click "$queue_id" $((WIDTH - 40)) $((HEIGHT - 24))
    settings_id="$(new_window "$APP_PID" "$known")"
    park_pointer
    import -frame -window "$settings_id" "$DOCS/settings-dialog.png"
}

mkdir -p "$DOCS"
start_display
shoot_main zh zh_CN.UTF-8
shoot_queue_and_settings
stop_scene
shoot_main en en_US.UTF-8
stop_scene
echo "Pictures written: $DOCS/window-zh.png $DOCS/window-en.png $DOCS/queue-window.png" \
    "$DOCS/settings-dialog.png"
