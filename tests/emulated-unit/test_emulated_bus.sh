#!/bin/bash
# The fake USB bus in sysfs: which devices it shows for which units, and how the running tool follows
# the units, stops on a signal and ends with its parent.
#   test_emulated_bus.sh EMULATED_BUS
set -uo pipefail

bus_program="$1"
work="$(mktemp -d "${TMPDIR:-/tmp}/emulated-bus-test.XXXXXX")"
bg_pid=""
cleanup() {
    [ -n "$bg_pid" ] && kill "$bg_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# shellcheck source=cases.sh
source "$(dirname "${BASH_SOURCE[0]}")/cases.sh"

serial_a=3574364C3034
serial_b=3574364C3035

new_unit() { # UNITS_DIR SERIAL [KNOB_LINE...]
    local d="$1/units/$2"
    shift 2
    mkdir -p "$d"
    if [ $# -gt 0 ]; then printf '%s\n' "$@" >"$d/knobs"; fi
}
now_ms() { date +%s%3N; }

# devices ROOT: "name vendor:product" for every entry with an idVendor, sorted.
devices() {
    local e
    for e in "$1"/bus/usb/devices/*; do
        [ -e "$e/idVendor" ] && echo "${e##*/} $(cat "$e/idVendor"):$(cat "$e/idProduct")"
    done | sort
}
# nodes ROOT: the device nodes of bus 1, sorted.
nodes() { ls "$1/dev/bus/usb/001" | sort | tr '\n' ' '; }
# entries ROOT: every name in bus/usb/devices, sorted.
entries() { ls "$1/bus/usb/devices" | sort | tr '\n' ' '; }
# until_true SECONDS COMMAND...: bounded wait for a condition.
until_true() {
    local limit=$(($1 * 100)) i
    shift
    for ((i = 0; i < limit; i++)); do
        "$@" && return 0
        sleep 0.01
    done
    return 1
}
has_unit() { [ -e "$1/bus/usb/devices/$2/idVendor" ]; }
no_unit() { [ ! -e "$1/bus/usb/devices/$2" ] && [ ! -e "$1/bus/usb/devices/$2:1.0" ]; }
# gone PID: ended (a zombie counts: nobody may have reaped it yet).
gone() { ! kill -0 "$1" 2>/dev/null || [ "$(sed 's/.*) \(.\).*/\1/' "/proc/$1/stat" 2>/dev/null)" = Z ]; }

hub_and_keyboard="1-1.1 046d:c31c
usb1 1d6b:0002"

case_ "a unit: its device with the kernel's files, an interface without IDs, the hub and the keyboard"
u="$work/one" s="$work/sys-one"
new_unit "$u" "$serial_a" "access_denied=1" "busy=1"
"$bus_program" --once "$u" "$s" || fail "exit $?"
[ "$(devices "$s")" = "1-1.1 046d:c31c
1-1.4 0483:df11
usb1 1d6b:0002" ] || fail "devices: $(devices "$s")"
dev="$s/bus/usb/devices/1-1.4"
for f in "idVendor 0483" "idProduct df11" "bcdDevice 2200" "serial $serial_a" "busnum 1" "devnum 7"; do
    [ "$(cat "$dev/${f%% *}" 2>&1)" = "${f#* }" ] || fail "${f%% *}: $(cat "$dev/${f%% *}" 2>&1)"
done
[ "$(tail -c 1 "$dev/idVendor" | od -An -c | tr -d ' ')" = '\n' ] || fail "idVendor does not end in a newline"
[ -d "$s/bus/usb/devices/1-1.4:1.0" ] || fail "no interface entry"
[ ! -e "$s/bus/usb/devices/1-1.4:1.0/idVendor" ] || fail "the interface has an idVendor"
[ "$(cat "$s/bus/usb/devices/1-1.4:1.0/bInterfaceClass")" = fe ] || fail "interface class"
[ -L "$s/bus/usb/devices/1-1.4" ] || fail "not a link into devices/, as the kernel shows it"

[ "$(nodes "$s")" = "001 003 007 " ] || fail "device nodes: $(nodes "$s")"

case_ "absent_until: gone while in the future, back after it; its device node goes and comes with it"
echo $(($(now_ms) + 600000)) >"$u/units/$serial_a/absent_until"
"$bus_program" --once "$u" "$s" || fail "exit $?"
no_unit "$s" 1-1.4 || fail "still shown: $(entries "$s")"
[ "$(devices "$s")" = "$hub_and_keyboard" ] || fail "devices: $(devices "$s")"
[ "$(nodes "$s")" = "001 003 " ] || fail "device nodes: $(nodes "$s")"
echo $(($(now_ms) - 1)) >"$u/units/$serial_a/absent_until"
"$bus_program" --once "$u" "$s" || fail "exit $?"
has_unit "$s" 1-1.4 || fail "not back: $(entries "$s")"
[ "$(nodes "$s")" = "001 003 007 " ] || fail "device nodes: $(nodes "$s")"

case_ "two units: two devices in the order of the serials; an absent first unit keeps the second's path"
u="$work/two" s="$work/sys-two"
new_unit "$u" "$serial_b" "devnum=12"
new_unit "$u" "$serial_a"
"$bus_program" --once "$u" "$s" || fail "exit $?"
[ "$(cat "$s/bus/usb/devices/1-1.4/serial") $(cat "$s/bus/usb/devices/1-1.5/serial")" = "$serial_a $serial_b" ] ||
    fail "serials: $(entries "$s")"
[ "$(cat "$s/bus/usb/devices/1-1.4/devnum") $(cat "$s/bus/usb/devices/1-1.5/devnum")" = "7 12" ] || fail "devnums"
echo 99999999999999 >"$u/units/$serial_a/absent_until"
"$bus_program" --once "$u" "$s" || fail "exit $?"
no_unit "$s" 1-1.4 || fail "first unit still shown"
[ "$(cat "$s/bus/usb/devices/1-1.5/serial" 2>&1)" = "$serial_b" ] || fail "second unit moved: $(entries "$s")"

case_ "no units: only the hub and the keyboard"
s="$work/sys-none"
"$bus_program" --once "$work/nothing" "$s" || fail "exit $?"
[ "$(devices "$s")" = "$hub_and_keyboard" ] || fail "devices: $(devices "$s")"
[ "$(entries "$s")" = "1-0:1.0 1-1.1 1-1.1:1.0 1-1.1:1.1 usb1 " ] || fail "entries: $(entries "$s")"

case_ "a units directory that lost its unit: a second run takes the device away"
u="$work/lost" s="$work/sys-lost"
new_unit "$u" "$serial_a"
"$bus_program" --once "$u" "$s" && has_unit "$s" 1-1.4 || fail "not shown"
rm -rf "$u/units/$serial_a"
"$bus_program" --once "$u" "$s" || fail "exit $?"
no_unit "$s" 1-1.4 || fail "still shown: $(entries "$s")"
[ "$(devices "$s")" = "$hub_and_keyboard" ] || fail "devices: $(devices "$s")"

case_ "running: follows a unit that leaves for a while, ends on SIGTERM"
u="$work/run" s="$work/sys-run"
new_unit "$u" "$serial_a"
"$bus_program" "$u" "$s" &
bg_pid=$!
until_true 5 has_unit "$s" 1-1.4 || fail "never shown"
echo $(($(now_ms) + 700)) >"$u/units/$serial_a/absent_until"
until_true 5 no_unit "$s" 1-1.4 || fail "not taken away"
until_true 5 has_unit "$s" 1-1.4 || fail "not back after absent_until"
kill -TERM "$bg_pid"
until_true 5 gone "$bg_pid" || fail "still running after SIGTERM"
wait "$bg_pid"
[ $? = 0 ] || fail "exit status after SIGTERM"
bg_pid=""

case_ "running: ends with its parent"
bash -c '"$1" "$2" "$3" & echo $! >"$4"; sleep 0.3' _ "$bus_program" "$u" "$s" "$work/pid"
pid="$(cat "$work/pid")"
until_true 5 gone "$pid" || {
    fail "still running after its parent ended"
    kill "$pid"
}

case_ "a real sysfs is refused"
"$bus_program" --once "$u" /sys 2>"$work/err"
[ $? = 64 ] && grep -q "refusing" "$work/err" || fail "not refused: $(cat "$work/err")"

finish
