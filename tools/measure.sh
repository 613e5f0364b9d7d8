#!/usr/bin/env bash
# Measures the built program under the offscreen platform. Real mode runs the program's own unpacked
# dfu-util against the emulated unit (tests/emulated-unit) and, unless said otherwise, with the emulated
# unit's fake USB bus in sysfs holding no unit (root hub and keyboard only):
#   tools/measure.sh startup PROGRAM [BARE_PROGRAM]  real mode: time from launch to the event loop running
#                      with the window shown, against a bare QMainWindow of the same size (default
#                      build/tools/bare_window), alternating, MEASURE_RUNS runs each (default 15), medians
#                      and their ratio; then, where valgrind is installed, the instructions each executes
#                      until its window is shown and it has settled (callgrind, MEASURE_CALLGRIND=0 skips)
#   tools/measure.sh idle PROGRAM [SECONDS]       real mode: CPU time of the program itself and of its
#                      reaped children over SECONDS (default 60) after start-up has settled, and its
#                      resident memory; MEASURE_SYSFS=none runs it without a fake bus (VELTARO_SYSFS_ROOT
#                      names a directory that does not exist)
#   tools/measure.sh arrival PROGRAM [RUNS]       real mode, realistic unit timing: time from an outdated
#                      unit appearing on the fake bus to "SM_B: entered B2" (RUNS runs, default 5,
#                      median), the tool's own times for the three runs that read a unit, and the margin
#   tools/measure.sh offer PROGRAM                simulator mode: time from the simulated unit appearing to
#                      the install button being enabled
# The program logs "Starting sm_A" once its event loop runs, right after the window is shown. The machine
# is shared: run under nice -n 0 and repeat; medians are printed where runs are repeated.
set -euo pipefail
mode="$1"
program="$(realpath "$2")"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${UPGRADE_BUILD:-$root/build}"
fixture="$build/tests/emulated-unit/with-emulated-unit.sh"
bus="$build/tests/emulated-unit/emulated_bus"
emulated_lib="$build/tests/emulated-unit/lib"
export QT_QPA_PLATFORM=offscreen
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
units="$work/units"
mkdir "$units"
export VELTARO_UNITS_DIR="$units"
# Temporary and runtime directories of its own: a program the user runs keeps its lock, and no start here
# is refused as a second one or sweeps the user's working directories.
mkdir -m 0700 "$work/tmp" "$work/run"
export TMPDIR="$work/tmp" XDG_RUNTIME_DIR="$work/run"
export VELTARO_SIM_FIRMWARE="${VELTARO_SIM_FIRMWARE:-$build/software/resources/firmware.bin}"
sim="$root/simulator/dfu-util_simulator.sh"
serial=3574364C3034

now_us() { echo "${EPOCHREALTIME/./}"; }
# Sleeps without starting a process: a read on a FIFO that nobody writes to.
mkfifo "$work/pace"
exec 9<>"$work/pace"
nap() { read -r -t "$1" -u 9 || true; }
# Ends a program and waits until it has gone: the next start would be refused while it is still ending.
stop() {
    kill "$1" 2>/dev/null || true
    while kill -0 "$1" 2>/dev/null; do nap 0.05; done
}
wait_for_line() { # FILE PATTERN
    until grep -q -- "$2" "$1"; do nap 0.05; done
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
need_fixture() {
    if [ ! -x "$fixture" ] || [ ! -x "$bus" ] || [ ! -e "$emulated_lib/libusb-1.0.so.0" ]; then
        echo "real mode needs the emulated unit: build the targets emulated_libusb and emulated_bus in $build" >&2
        exit 69
    fi
}

# Runs "$@" until its standard error shows $1's line, read as it comes by one grep (nothing polls beside
# the program, and the reader's cost does not grow with the program's output); prints the microseconds
# from the start to that line. The pid goes to $work/pid; stop it, then call end_run.
time_until() {
    local pattern="$1"
    shift
    local start child
    start=$(now_us)
    exec 3< <("$@" 2>&1 >/dev/null & echo "PID $!"; wait)
    read -r _ child <&3
    echo "$child" > "$work/pid"
    grep -q -m1 -F -- "$pattern" <&3
    echo $(($(now_us) - start))
    # The rest of its output is drained, so that it never blocks on a full pipe.
    cat <&3 >/dev/null &
}
end_run() { exec 3<&-; }

case "$mode" in
startup)
    need_fixture
    bare="$(realpath "${3:-$build/tools/bare_window}")"
    runs="${MEASURE_RUNS:-15}"
    # MEASURE_ARGS (e.g. -s for simulator mode) go to the program only.
    read -r -a extra <<< "${MEASURE_ARGS:-}"
    # No unit, for the simulator too; a fake bus with no unit, laid out once: nothing follows it, nothing
    # is started beside the program.
    "$sim" --dfu-util-command setup_prepared_config no_unit >/dev/null
    "$bus" --once "$units" "$work/sysfs"
    # The unpacked tool loads its own USB library, as at a user's start; with no unit on the bus nothing
    # but the tool check runs it.
    export VELTARO_SYSFS_ROOT="$work/sysfs"
    : > "$work/program.us"
    : > "$work/bare.us"
    for _ in $(seq "$runs"); do
        for side in program bare; do
            p="$program"
            [ "$side" = bare ] && p="$bare"
            args=()
            [ "$side" = program ] && args=("${extra[@]}")
            time_until "Starting sm_A" "$p" "${args[@]}" >> "$work/$side.us"
            stop "$(cat "$work/pid")"
            end_run
        done
    done
    p_ms=$(median < "$work/program.us")
    b_ms=$(median < "$work/bare.us")
    echo "$(basename "$program"): median $((p_ms / 1000)).$(printf %03d $((p_ms % 1000))) ms from launch" \
         "to the event loop with the window shown ($runs runs, min $(($(sort -n "$work/program.us" | head -1) / 1000))" \
         "max $(($(sort -n "$work/program.us" | tail -1) / 1000)) ms)"
    echo "$(basename "$bare"): median $((b_ms / 1000)).$(printf %03d $((b_ms % 1000))) ms" \
         "($runs runs, min $(($(sort -n "$work/bare.us" | head -1) / 1000))" \
         "max $(($(sort -n "$work/bare.us" | tail -1) / 1000)) ms)"
    echo "startup ratio (wall) $(awk -v a="$p_ms" -v b="$b_ms" 'BEGIN { printf "%.2f", a / b }')"
    if [ "${MEASURE_CALLGRIND:-1}" != 0 ] && command -v valgrind >/dev/null; then
        # Instructions are repeatable where wall time on a shared machine is not. Each side runs until its
        # window is shown and it has settled for a second; the count is dumped then (the program's worker
        # meanwhile looks at the fake bus a few times). The tool check's child is not counted.
        for side in program bare; do
            p="$program"
            args=("${extra[@]}")
            [ "$side" = bare ] && p="$bare" && args=()
            time_until "Starting sm_A" valgrind --tool=callgrind --log-file="$work/vg.$side" \
                --callgrind-out-file="$work/cg.$side.%p" "$p" "${args[@]}" >/dev/null
            pid=$(cat "$work/pid")
            nap 1
            callgrind_control -d "$pid" >/dev/null 2>&1
            cp "$work/cg.$side.$pid.1" "$work/callgrind.$side"
            stop "$pid"
            end_run
            ir=$(awk '/^summary:/ { print $2 }' "$work/callgrind.$side")
            echo "$side: $ir instructions until shown and settled"
            echo "$ir" > "$work/ir.$side"
        done
        echo "startup ratio (instructions) $(awk -v a="$(cat "$work/ir.program")" -v b="$(cat "$work/ir.bare")" \
            'BEGIN { printf "%.2f", a / b }')"
        if [ -n "${MEASURE_KEEP:-}" ]; then
            cp "$work/callgrind.program" "$work/callgrind.bare" "$MEASURE_KEEP"/
            echo "callgrind profiles in $MEASURE_KEEP (callgrind_annotate --inclusive=yes FILE)"
        fi
    fi
    ;;
idle)
    need_fixture
    seconds="${3:-60}"
    if [ "${MEASURE_SYSFS:-bus}" = none ]; then
        export VELTARO_SYSFS_ROOT="$work/no-such-directory"
        run=("$fixture" "$units" -- "$program")
        what="no fake bus: the worker lists with the tool"
    else
        run=("$fixture" "$units" --sysfs "$work/sysfs" -- "$program")
        what="fake bus with no unit"
    fi
    "${run[@]}" 2>"$work/log" >/dev/null &
    pid=$!
    wait_for_line "$work/log" "Starting sm_A"
    # Start-up settles: the first look or listing, the window's first paint.
    nap 2
    ticks=$(getconf CLK_TCK)
    read -r -a before < "/proc/$pid/stat"
    start=$(now_us)
    nap "$seconds"
    read -r -a after < "/proc/$pid/stat"
    elapsed_us=$(($(now_us) - start))
    own=$(( (after[13] + after[14] - before[13] - before[14]) * 1000 / ticks ))
    children=$(( (after[15] + after[16] - before[15] - before[16]) * 1000 / ticks ))
    pct() { awk -v ms="$1" -v us="$elapsed_us" 'BEGIN { printf "%.3f", ms * 100000 / us }'; }
    echo "idle over $((elapsed_us / 1000000)) s, real mode, $what: $(basename "$program")"
    echo "  program itself: $own ms ($(pct "$own") % of one core)"
    echo "  its children (reaped): $children ms ($(pct "$children") % of one core)"
    echo "  together: $((own + children)) ms ($(pct $((own + children))) % of one core)"
    echo "  $(grep -E "VmRSS" "/proc/$pid/status" | tr -s ' \t' ' ')"
    # The fake bus stands in for the kernel's own bookkeeping; it is a child that is reaped only at the end.
    for child in $(cat "/proc/$pid/task/"*/children 2>/dev/null); do
        if [ "$(cat "/proc/$child/comm" 2>/dev/null)" = emulated_bus ]; then
            read -r -a b < "/proc/$child/stat"
            echo "  (the fake bus, not counted: $(( (b[13] + b[14]) * 1000 / ticks )) ms since it started)"
        fi
    done
    stop "$pid"
    ;;
arrival)
    need_fixture
    runs="${3:-5}"
    export VELTARO_UNIT_TIMING=realistic
    # The log's own clock, in UTC, so that its lines can be set against the moment the unit appeared.
    export TZ=UTC QT_MESSAGE_PATTERN='%{time yyyy-MM-dd HH:mm:ss.zzz} %{message}'
    : > "$work/arrival.ms"
    for run in $(seq "$runs"); do
        rm -rf "$units" "$work/sysfs"
        mkdir "$units"
        "$sim" --dfu-util-command setup_prepared_config no_unit >/dev/null
        "$fixture" "$units" --sysfs "$work/sysfs" -- "$program" 2>"$work/log" >/dev/null &
        pid=$!
        wait_for_line "$work/log" "Starting sm_A"
        nap 1.3
        laid=$(now_us)
        "$sim" --dfu-util-command setup_prepared_config outdated >/dev/null
        # The bus shows the unit within its 10 ms re-check; that is the moment a real unit appears.
        until [ -e "$work/sysfs/bus/usb/devices/1-1.4/idProduct" ]; do nap 0.001; done
        appeared=$(now_us)
        wait_for_line "$work/log" "SM_B: entered B2"
        line=$(grep -m1 "SM_B: entered B2" "$work/log")
        b2_ms=$(date -u -d "$(cut -c1-23 <<< "$line")" +%s%3N)
        ms=$((b2_ms - appeared / 1000))
        echo "run $run: unit laid out, on the bus $(((appeared - laid) / 1000)) ms later, B2 after $ms ms"
        echo "$ms" >> "$work/arrival.ms"
        stop "$pid"
    done
    arrival=$(median < "$work/arrival.ms")
    # The tool's own runs, with the arguments the program gives them, against the same unit.
    mkdir "$work/tool"
    cp "$build/software/resources/dfu-util" "$work/tool/"
    chmod +x "$work/tool/dfu-util"
    tool_ms() { # NAME ARGS...
        local name="$1"
        shift
        : > "$work/t.$name"
        for _ in 1 2 3 4 5; do
            rm -f "$work/tool/out.bin"
            local start
            start=$(now_us)
            LD_LIBRARY_PATH="$emulated_lib" "$work/tool/dfu-util" "$@" >/dev/null 2>&1
            echo $((($(now_us) - start) / 1000)) >> "$work/t.$name"
        done
        median < "$work/t.$name"
    }
    list=$(tool_ms list -d 0483 -l)
    otp=$(tool_ms otp -d 0483 -S "$serial" -a 2 -s 0x1FFF7800:512 -U "$work/tool/out.bin")
    info=$(tool_ms info -d 0483 -S "$serial" -a 0 -s 0x08000000:2048 -U "$work/tool/out.bin")
    echo "arrival: median $arrival ms from the unit appearing to \"SM_B: entered B2\" ($runs runs:" \
         "$(tr '\n' ' ' < "$work/arrival.ms"| sed 's/ $//'))"
    echo "tool runs (median of 5): listing $list ms, OTP read $otp ms, information read $info ms;" \
         "sum $((list + otp + info)) ms"
    echo "margin $((arrival - list - otp - info)) ms (goal <= 50)"
    ;;
offer)
    "$sim" --dfu-util-command setup_prepared_config no_unit >/dev/null
    "$program" -s -l 2>"$work/log" >/dev/null &
    pid=$!
    wait_for_line "$work/log" "Starting sm_A"
    nap 1
    start=$(now_us)
    "$sim" --dfu-util-command setup_prepared_config outdated >/dev/null
    wait_for_line "$work/log" "sig_UpgradePossible"
    echo "unit laid out -> upgrade offered: $((($(now_us) - start) / 1000)) ms"
    stop "$pid"
    ;;
*)
    echo "usage: $0 startup|idle|arrival|offer PROGRAM [...]" >&2
    exit 64
    ;;
esac
