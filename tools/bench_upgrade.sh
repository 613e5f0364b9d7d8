#!/usr/bin/env bash
# The whole upgrade of one unit against the emulated unit with realistic timing, two ways, RUNS times
# each (default 3), alternating:
#   script   what an engineer does by hand with the same dfu-util: download with leave, list every 100 ms
#            until the unit is back, read the image back, cmp; timed from the download to cmp's answer
#   program  the whole program in real mode (tests/e2e/emulated/tst_program_emulated, scenario outdated,
#            on the emulated unit's fake USB bus), from the click on the install button to
#            "Uploaded FW matches" in its timeline
# Both see the same unit: the "outdated" scenario, the unit away for REAPPEAR_MS (default 2000) after it
# leaves DFU mode. Prints every run, the medians, and last "ratio <program/script>".
#   tools/bench_upgrade.sh [RUNS]
# Builds nothing: build first (./test.sh, or cmake --build build). Run it under nice -n 0.
set -euo pipefail
runs="${1:-3}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${UPGRADE_BUILD:-$root/build}"
reappear_ms="${REAPPEAR_MS:-2000}"
lib="$build/tests/emulated-unit/lib"
bus="$build/tests/emulated-unit/emulated_bus"
driver="$build/tests/e2e/emulated/tst_program_emulated"
firmware="$build/software/resources/firmware.bin"
for f in "$lib/libusb-1.0.so.0" "$bus" "$driver" "$build/software/resources/dfu-util" "$firmware"; do
    [ -e "$f" ] || { echo "missing $f: build first" >&2; exit 69; }
done
sim="$root/simulator/dfu-util_simulator.sh"
serial=3574364C3034
export VELTARO_UNIT_TIMING=realistic VELTARO_SIM_FIRMWARE="$firmware" QT_QPA_PLATFORM=offscreen
work="$(mktemp -d)"
bus_pid=""
cleanup() {
    if [ -n "$bus_pid" ]; then kill "$bus_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
now_ms() { echo $((${EPOCHREALTIME/./} / 1000)); }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

# A fresh outdated unit in $1 that stays away reappear_ms after it leaves DFU mode.
lay_out() {
    rm -rf "$1"
    mkdir -p "$1"
    VELTARO_UNITS_DIR="$1" "$sim" --dfu-util-command setup_prepared_config outdated >/dev/null
    echo "reappear_ms=$reappear_ms" >> "$1/units/$serial/knobs"
}

# The hand-written way, with the tool the program carries (it loads the USB library beside it, here the
# emulated one through LD_LIBRARY_PATH).
mkdir "$work/tool"
cp "$build/software/resources/dfu-util" "$work/tool/"
chmod +x "$work/tool/dfu-util"
cat > "$work/by_hand.sh" <<'EOF'
#!/bin/bash
# Download with leave, wait for the unit, read back, compare.
set -e
image="$1"
size=$(stat -c %s "$image")
dfu-util -d 0483:df11 -a 0 -s 0x08000000:leave -D "$image"
until dfu-util -d 0483:df11 -l | grep -q "Found DFU: \[0483:df11\]"; do
    sleep 0.1
done
rm -f readback.bin
dfu-util -d 0483:df11 -a 0 -s "0x08000000:$size" -U readback.bin
cmp "$image" readback.bin
EOF
chmod +x "$work/by_hand.sh"

script_run() {
    lay_out "$work/script-units"
    (
        cd "$work/tool"
        export VELTARO_UNITS_DIR="$work/script-units" LD_LIBRARY_PATH="$lib" PATH="$work/tool:$PATH"
        start=$(now_ms)
        "$work/by_hand.sh" "$firmware" >"$work/script.log" 2>&1 || { cat "$work/script.log" >&2; exit 1; }
        echo $(($(now_ms) - start))
    )
}

# The program: the in-process driver runs the real start-up, waits for the offer, clicks and waits for
# the verdict; its timeline has milliseconds since start-up. Its units live in a directory of its own
# in TMPDIR, which the fake bus follows once it exists; until then the bus shows the same unit, so the
# program never sees a bus without it.
program_run() {
    rm -rf "$work/tmp" "$work/run" "$work/sysfs"
    mkdir -m 0700 "$work/tmp" "$work/run"
    lay_out "$work/bus-units"
    "$bus" --once "$work/bus-units" "$work/sysfs"
    (
        export TMPDIR="$work/tmp" XDG_RUNTIME_DIR="$work/run" VELTARO_SYSFS_ROOT="$work/sysfs"
        export VELTARO_E2E_SCENARIO=outdated VELTARO_E2E_REAPPEAR_MS="$reappear_ms" VELTARO_E2E_TIMELINE=1
        exec "$driver" >"$work/driver.out" 2>"$work/timeline"
    ) &
    local driver_pid=$!
    local units=""
    until [ -n "$units" ]; do
        for d in "$work/tmp"/tst_program_emulated-*; do
            [ -f "$d/units/$serial/knobs" ] && grep -q reappear_ms "$d/units/$serial/knobs" && units="$d"
        done
        kill -0 "$driver_pid" 2>/dev/null || break
        sleep 0.01
    done
    if [ -n "$units" ]; then
        "$bus" "$units" "$work/sysfs" </dev/null >/dev/null 2>&1 &
        bus_pid=$!
    fi
    local status=0
    wait "$driver_pid" || status=$?
    if [ -n "$bus_pid" ]; then
        kill "$bus_pid" 2>/dev/null || true
        wait "$bus_pid" 2>/dev/null || true
        bus_pid=""
    fi
    if [ "$status" -ne 0 ] || [ -z "$units" ]; then
        echo "the program's run failed (exit $status):" >&2
        cat "$work/driver.out" >&2
        tail -30 "$work/timeline" >&2
        exit 1
    fi
    cp "$work/timeline" "$work/timeline.last"
    local click matches
    click=$(awk '/ ms  -- click$/ { print $1; exit }' "$work/timeline")
    matches=$(awk '/ ms  Uploaded FW matches$/ { print $1; exit }' "$work/timeline")
    echo $((matches - click))
}

: > "$work/script.ms"
: > "$work/program.ms"
for run in $(seq "$runs"); do
    s=$(script_run)
    echo "$s" >> "$work/script.ms"
    p=$(program_run)
    echo "$p" >> "$work/program.ms"
    echo "run $run: script $s ms, program $p ms"
done
s=$(median < "$work/script.ms")
p=$(median < "$work/program.ms")
echo "median: script $s ms, program $p ms (reappear_ms=$reappear_ms, realistic timing, $runs runs each)"
if [ -n "${BENCH_TIMELINE:-}" ]; then
    cp "$work/timeline.last" "$BENCH_TIMELINE"
    echo "the last program run's timeline: $BENCH_TIMELINE"
fi
echo "ratio $(awk -v p="$p" -v s="$s" 'BEGIN { printf "%.3f", p / s }')"
