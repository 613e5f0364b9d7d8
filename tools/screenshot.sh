#!/usr/bin/env bash
# Saves a picture of the real window in simulator mode: tools/screenshot.sh SCENARIO OUT.png [SECONDS]
# SCENARIO is one of the simulator's prepared configurations (simulator/README.md); SECONDS is how long
# the program runs before the picture is taken (default 4: the outdated unit is then offered its upgrade).
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 SCENARIO OUT.png [SECONDS]" >&2; exit 2; }
scenario="$1"
out="$(realpath -m "$2")"
wait_s="${3:-4}"
root="$(cd "$(dirname "$0")/.." && pwd)"
program="${UPGRADE_PROGRAM:-$root/build/veltaro-upgrade}"
[ -x "$program" ] || { echo "build the program first (./run.sh or ./test.sh)" >&2; exit 1; }
for tool in xvfb-run xwininfo import; do
    if ! command -v "$tool" >/dev/null; then
        sudo=(); [ "$(id -u)" -ne 0 ] && sudo=(sudo)
        "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
        "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
            xvfb xauth x11-utils imagemagick
        break
    fi
done

units="$(mktemp -d)"
trap 'rm -rf "$units"' EXIT
export VELTARO_UNITS_DIR="$units"
# Temporary and runtime directories of its own, so that a program the user runs does not refuse this one.
mkdir -m 0700 "$units/tmp" "$units/run"
export TMPDIR="$units/tmp" XDG_RUNTIME_DIR="$units/run"
export VELTARO_SIM_FIRMWARE="${VELTARO_SIM_FIRMWARE:-$root/build/software/resources/firmware.bin}"
"$root/simulator/dfu-util_simulator.sh" --dfu-util-command setup_prepared_config "$scenario"

xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    "$1" -s >/dev/null 2>&1 &
    pid=$!
    sleep "$2"
    id=$(xwininfo -root -tree | awk "/\"Veltaro Firmware Upgrade Tool\"/ {print \$1; exit}")
    [ -n "$id" ] || { echo "window not found" >&2; kill $pid; exit 1; }
    import -window "$id" "$3"
    kill $pid
    wait $pid || true # ends with 128 + SIGTERM
' _ "$program" "$wait_s" "$out"
echo "saved $out"
