#!/usr/bin/env bash
# Measures the program in simulator mode under the offscreen platform:
#   tools/measure.sh startup PROGRAM [BARE_PROGRAM]   time from launch to the event loop running with the
#                                                    window shown, 5 runs (a bare Qt window for contrast)
#   tools/measure.sh idle PROGRAM [SECONDS]           CPU time of the program itself (children excluded)
#                                                    and its resident memory after SECONDS with no unit
#   tools/measure.sh offer PROGRAM                    time from the simulated unit appearing to the
#                                                    install button being enabled
# The program prints "Starting sm_A" once its event loop runs, right after the window is shown.
set -euo pipefail
mode="$1"
program="$2"
root="$(cd "$(dirname "$0")/.." && pwd)"
export QT_QPA_PLATFORM=offscreen
units="$(mktemp -d)"
trap 'rm -rf "$units"' EXIT
export VELTARO_UNITS_DIR="$units"
# Temporary and runtime directories of its own: a program the user runs keeps its lock, and no start here
# is refused as a second one or sweeps the user's working directories.
mkdir -m 0700 "$units/tmp" "$units/run"
export TMPDIR="$units/tmp" XDG_RUNTIME_DIR="$units/run"
export VELTARO_SIM_FIRMWARE="${VELTARO_SIM_FIRMWARE:-$root/build/software/resources/firmware.bin}"
sim="$root/simulator/dfu-util_simulator.sh"
now_ms() { echo $(($(date +%s%N) / 1000000)); }
# Ends a program and waits until it has gone: the next start would be refused while it is still ending.
stop() {
    kill "$1" 2>/dev/null || true
    while kill -0 "$1" 2>/dev/null; do sleep 0.05; done
}

# Runs $@ until its output shows $1, prints the milliseconds it took; the pid goes to $units/pid.
time_until() {
    local pattern="$1"
    shift
    local start
    start=$(now_ms)
    exec 3< <("$@" 2>&1 >/dev/null & echo "PID $!"; wait)
    read -r _ child <&3
    echo "$child" > "$units/pid"
    while read -r line <&3; do
        [[ "$line" == *"$pattern"* ]] && break
    done
    echo $(($(now_ms) - start))
}

case "$mode" in
startup)
    "$sim" --dfu-util-command setup_prepared_config no_unit >/dev/null
    for p in "$program" "${3:-}"; do
        [ -n "$p" ] || continue
        total=0
        for _ in 1 2 3 4 5; do
            ms=$(time_until "Starting sm_A" "$p" -s)
            stop "$(cat "$units/pid")"
            total=$((total + ms))
        done
        echo "$(basename "$p"): mean $((total / 5)) ms from launch to the event loop (5 runs)"
    done
    ;;
idle)
    seconds="${3:-60}"
    "$sim" --dfu-util-command setup_prepared_config no_unit >/dev/null
    "$program" -s >/dev/null 2>&1 &
    pid=$!
    sleep "$seconds"
    read -r -a stat < "/proc/$pid/stat"
    ticks=$(getconf CLK_TCK)
    echo "CPU time of the program itself over ${seconds} s: $(( (stat[13] + stat[14]) * 1000 / ticks )) ms" \
         "(children: $(( (stat[15] + stat[16]) * 1000 / ticks )) ms)"
    grep -E "VmRSS|VmHWM" "/proc/$pid/status"
    stop "$pid"
    ;;
offer)
    "$sim" --dfu-util-command setup_prepared_config no_unit >/dev/null
    "$program" -s -l 2>"$units/log" >/dev/null &
    pid=$!
    until grep -q "Starting sm_A" "$units/log"; do sleep 0.05; done
    sleep 1
    start=$(now_ms)
    "$sim" --dfu-util-command setup_prepared_config outdated >/dev/null
    until grep -q "sig_UpgradePossible" "$units/log"; do sleep 0.01; done
    echo "unit laid out -> upgrade offered: $(($(now_ms) - start)) ms"
    stop "$pid"
    ;;
esac
