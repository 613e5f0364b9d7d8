#!/usr/bin/env bash
# Pictures of the real window in simulator mode, under a virtual X display (Xvfb).
#   tools/screenshot.sh SCENARIO OUT.png [SECONDS]
#       SCENARIO is one of the simulator's prepared configurations (simulator/README.md); SECONDS is how
#       long the program runs before the picture is taken (default 4: the outdated unit is then offered
#       its upgrade).
#   tools/screenshot.sh --gallery [DIR]
#       one picture of every state the window shows (DIR/NAME.png and a half-size DIR/NAME-small.png;
#       DIR defaults to docs/gallery). Each state runs the program with -l, so that it echoes its log,
#       and the picture is taken once the log line of that state has been written.
set -euo pipefail
usage() {
    echo "usage: $0 SCENARIO OUT.png [SECONDS]" >&2
    echo "       $0 --gallery [DIR]" >&2
    exit 2
}
[ $# -ge 1 ] || usage
root="$(cd "$(dirname "$0")/.." && pwd)"
program="${UPGRADE_PROGRAM:-$root/build/veltaro-upgrade}"
[ -x "$program" ] || { echo "build the program first (./run.sh or ./test.sh)" >&2; exit 1; }
for tool in xvfb-run xwininfo import xdotool; do
    if ! command -v "$tool" >/dev/null; then
        sudo=(); [ "$(id -u)" -ne 0 ] && sudo=(sudo)
        "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
        "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
            xvfb xauth x11-utils imagemagick xdotool
        break
    fi
done
export VELTARO_SIM_FIRMWARE="${VELTARO_SIM_FIRMWARE:-$root/build/software/resources/firmware.bin}"
simulator="$root/simulator/dfu-util_simulator.sh"
title="Veltaro Firmware Upgrade Tool"

if [ "$1" != --gallery ]; then
    [ $# -ge 2 ] || usage
    scenario="$1"
    out="$(realpath -m "$2")"
    wait_s="${3:-4}"
    units="$(mktemp -d)"
    trap 'rm -rf "$units"' EXIT
    export VELTARO_UNITS_DIR="$units"
    # Temporary and runtime directories of its own, so that a program the user runs does not refuse this one.
    mkdir -m 0700 "$units/tmp" "$units/run"
    export TMPDIR="$units/tmp" XDG_RUNTIME_DIR="$units/run"
    "$simulator" --dfu-util-command setup_prepared_config "$scenario"
    xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
        "$1" -s >/dev/null 2>&1 &
        pid=$!
        sleep "$2"
        id=$(xwininfo -root -tree | awk "/\"$4\"/ {print \$1; exit}")
        [ -n "$id" ] || { echo "window not found" >&2; kill $pid; exit 1; }
        import -window "$id" "$3"
        kill $pid
        wait $pid || true # ends with 128 + SIGTERM
    ' _ "$program" "$wait_s" "$out" "$title"
    echo "saved $out"
    exit 0
fi

dir="$(realpath -m "${2:-$root/docs/gallery}")"
mkdir -p "$dir"
if [ -z "${UPGRADE_GALLERY_DISPLAY:-}" ]; then
    # All states on one virtual display of their own.
    exec env UPGRADE_GALLERY_DISPLAY=1 xvfb-run -a -s "-screen 0 1024x768x24" "$0" --gallery "$dir"
fi

work="$(mktemp -d)"
# As above: directories of its own, apart from any program the user runs.
mkdir -m 0700 "$work/tmp" "$work/run"
export TMPDIR="$work/tmp" XDG_RUNTIME_DIR="$work/run"
pid=""
tool=""
finish() {
    # Only what this script started: the program and the tool run it started.
    if [ -n "$tool" ]; then kill -CONT -- "-$tool" 2>/dev/null || true; fi
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        kill "$pid" 2>/dev/null || true
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null || true
    fi
    if [ -n "$tool" ]; then kill -TERM -- "-$tool" 2>/dev/null || true; fi
    if [ -n "$pid" ]; then wait "$pid" 2>/dev/null || true; fi
    pid=""
    tool=""
}
trap 'finish; rm -rf "$work"' EXIT

# wait_log PATTERN SECONDS: until the program's log holds PATTERN (an extended regular expression).
wait_log() {
    local deadline=$((SECONDS + $2))
    until grep -Eq -- "$1" "$work/log"; do
        if [ $SECONDS -ge $deadline ] || ! kill -0 "$pid" 2>/dev/null; then
            echo "no log line matching '$1' within $2 s; the log ends with:" >&2
            tail -n 5 "$work/log" >&2
            return 1
        fi
        sleep 0.1
    done
}

window_id() {
    xwininfo -root -tree | awk -v t="\"$title\"" 'index($0, t) {print $1; exit}'
}

# The install button, in the middle of its place (207, 417, 250 x 40 at the window's design size).
click_install() {
    local id w h
    id="$(window_id)"
    read -r w h < <(xwininfo -id "$id" | awk '/Width:/ {w=$2} /Height:/ {h=$2} END {print w, h}')
    xdotool mousemove --window "$id" $((332 * w / 665)) $((437 * h / 517)) click 1
}

# freeze SECONDS: after SECONDS, the running tool (the simulated unit) is held where it is, so that a
# state that passes in a moment stays on the screen for its picture.
freeze() {
    sleep "$1"
    tool="$(pgrep -P "$pid" | head -n 1 || true)"
    if [ -n "$tool" ]; then kill -STOP -- "-$tool"; fi
}

# state NAME SCENARIO KNOBS CLICK PATTERN SECONDS [FREEZE]
#   KNOBS: lines added to the unit's knobs ("" for none); CLICK: "click" to click the install button once
#   it is offered; PATTERN: the log line that shows the state; FREEZE: hold the tool that long after it.
state() {
    local name="$1" scenario="$2" knobs="$3" click="$4" pattern="$5" limit="$6" hold="${7:-}"
    export VELTARO_UNITS_DIR="$work/units-$name"
    if ! "$simulator" --dfu-util-command setup_prepared_config "$scenario" >/dev/null 2>&1; then
        echo "skipped $name: the simulator has no scenario $scenario" >&2
        return 0
    fi
    if [ -n "$knobs" ]; then printf '%s\n' "$knobs" >>"$VELTARO_UNITS_DIR/units/3574364C3034/knobs"; fi
    : >"$work/log"
    "$program" -s -l 2>"$work/log" >/dev/null &
    pid=$!
    wait_log "Starting sm_A" 20
    if [ "$click" = click ]; then
        wait_log "SM_B: /sig_UpgradePossible" 30
        until [ -n "$(window_id)" ]; do sleep 0.1; done
        click_install
        wait_log "Install clicked" 10
    fi
    wait_log "$pattern" "$limit"
    if [ -n "$hold" ]; then freeze "$hold"; fi
    # Let the window draw what the last reaction set.
    sleep 0.5
    import -window "$(window_id)" "$dir/$name.png"
    convert "$dir/$name.png" -resize 50% "$dir/$name-small.png"
    finish
    echo "saved $dir/$name.png"
}

state no-unit no_unit "" "" "SM_A: /sig_NoDevConn" 20
state offered outdated "" "" "SM_B: /sig_UpgradePossible" 30
state writing outdated "" click 'Start .*"-D"' 20 3
state restarting outdated "reappear_ms=30000" click "waiting for the unit to restart" 30
state verifying current "" "" 'Start .*uploaded_FW.bin' 30 0.3
state done outdated "reappear_ms=300" click "SM_B: /sig_FwMatches" 60
state verification-failed corrupt "" "" "Verification failure shown" 30
state download-failed download_fails "" click "Verification failure shown" 60
state not-back outdated "never_returns=1" click "has not come back within" 120
state two-units two_units "" "" "status_twoUnits" 30
state unreadable unreadable "" "" "status_unreadable" 30
state other-product other_product "" "" "SM_B: /sig_InvalidProduct" 30
state access-denied access_denied "" "" "status_accessDenied" 30
state busy busy "" "" "status_busy" 30
