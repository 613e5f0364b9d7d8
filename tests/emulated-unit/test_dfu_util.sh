#!/bin/bash
# The real dfu-util against the emulated unit: listing, reads, a download with "leave", the files the
# tool refuses to overwrite, flash-like programming and every scenario knob.
#   test_dfu_util.sh FIXTURE DFU_UTIL
set -uo pipefail

fixture="$1"
dfu_util="$2"
work="$(mktemp -d "${TMPDIR:-/tmp}/emulated-unit-test.XXXXXX")"
trap 'rm -rf "$work"' EXIT
export VELTARO_UNIT_TIMING=fast

# shellcheck source=cases.sh
source "$(dirname "${BASH_SOURCE[0]}")/cases.sh"

# new_unit UNITS_DIR SERIAL [KNOB_LINE...]: a unit with random OTP and flash contents.
new_unit() {
    local d="$1/units/$2"
    shift 2
    mkdir -p "$d"
    head -c 512 /dev/urandom >"$d/otp.bin"
    head -c 1048576 /dev/urandom >"$d/flash.bin"
    if [ $# -gt 0 ]; then printf '%s\n' "$@" >"$d/knobs"; fi
}

# image FILE SIZE: random bytes that start with 55 AA, clear of the prefixes dfu-util would strip.
image() {
    { printf '\x55\xAA'; head -c $(($2 - 2)) /dev/urandom; } >"$1"
}

# dfu UNITS_DIR ARG...: runs the tool; sets out, err, rc.
dfu() {
    local units="$1"
    shift
    "$fixture" "$units" -- "$dfu_util" "$@" >"$work/out" 2>"$work/err"
    rc=$?
    out="$(tr '\r' '\n' <"$work/out")"
    err="$(cat "$work/err")"
}

found_lines() { grep '^Found DFU: ' <<<"$out"; }

# bytes FILE OFFSET COUNT: the bytes as hex, for comparisons of file parts.
bytes() { tail -c +$(($2 + 1)) "$1" | head -c "$3" | od -An -v -tx1 | tr -d ' \n'; }

# wait_listed UNITS_DIR: waits (bounded) until the unit is listed again; 0 when it is.
wait_listed() {
    local i
    for i in $(seq 1 300); do
        dfu "$1" -d 0483 -l
        if [ "$(found_lines | wc -l)" -gt 0 ]; then return 0; fi
        sleep 0.1
    done
    return 1
}

serial_a=3574364C3034
serial_b=3574364C3035

case_ "listing of one unit: four lines, alt 3 to alt 0"
u="$work/one"
new_unit "$u" "$serial_a"
dfu "$u" -d 0483 -l
[ "$rc" = 0 ] || fail "exit $rc"
expected="$(for alt in 3 2 1 0; do
    case $alt in
    3) name="@Device Feature/0xFFFF0000/01*004 e" ;;
    2) name="@OTP Memory /0x1FFF7800/01*512 e,01*016 e" ;;
    1) name="@Option Bytes  /0x1FFFC000/01*016 e" ;;
    0) name="@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg" ;;
    esac
    echo "Found DFU: [0483:df11] ver=2200, devnum=7, cfg=1, intf=0, path=\"1-1.4\", alt=$alt, name=\"$name\", serial=\"$serial_a\""
done)"
[ "$(found_lines)" = "$expected" ] || fail "listing differs:"$'\n'"$(found_lines)"

case_ "listing of two units: eight lines, in order of the serials"
u="$work/two"
new_unit "$u" "$serial_b"
new_unit "$u" "$serial_a"
dfu "$u" -d 0483 -l
[ "$rc" = 0 ] || fail "exit $rc"
[ "$(found_lines | wc -l)" = 8 ] || fail "$(found_lines | wc -l) lines"
[ "$(found_lines | sed -n 's/.*devnum=\([0-9]*\).*alt=\([0-9]\).*serial="\([0-9A-F]*\)".*/\1 \2 \3/p' | tr '\n' ' ')" = \
    "7 3 $serial_a 7 2 $serial_a 7 1 $serial_a 7 0 $serial_a 8 3 $serial_b 8 2 $serial_b 8 1 $serial_b 8 0 $serial_b " ] ||
    fail "order:"$'\n'"$(found_lines)"

case_ "no units directory: nothing listed"
dfu "$work/none" -d 0483 -l
[ "$rc" = 0 ] || fail "exit $rc"
[ -z "$(found_lines)" ] || fail "listed: $(found_lines)"

case_ "OTP read gives the unit's 512 bytes"
u="$work/one"
dfu "$u" -d 0483 -a 2 -s 0x1FFF7800:512 -U "$work/otp.out"
[ "$rc" = 0 ] || fail "exit $rc: $err"
cmp -s "$work/otp.out" "$u/units/$serial_a/otp.bin" || fail "OTP bytes differ"

case_ "OTP read runs on into the lock bytes: otp_lock.bin, or erased without it"
dfu "$u" -d 0483 -a 2 -s 0x1FFF7800:528 -U "$work/otp528.out"
[ "$rc" = 0 ] || fail "exit $rc: $err"
[ "$(bytes "$work/otp528.out" 512 100)" = "ffffffffffffffffffffffffffffffff" ] || fail "lock bytes not erased"
printf '\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f' >"$u/units/$serial_a/otp_lock.bin"
dfu "$u" -d 0483 -a 2 -s 0x1FFF7800:528 -U "$work/otp528b.out"
[ "$(bytes "$work/otp528b.out" 512 100)" = "000102030405060708090a0b0c0d0e0f" ] || fail "lock bytes not from otp_lock.bin"
rm "$u/units/$serial_a/otp_lock.bin"

case_ "a read past the end of the flash fails"
dfu "$u" -d 0483 -a 0 -s 0x080FF800:4096 -U "$work/past.out"
[ "$rc" != 0 ] || fail "exit 0"

case_ "flash information read gives the first 2048 bytes"
dfu "$u" -d 0483 -a 0 -s 0x08000000:2048 -U "$work/info.out"
[ "$rc" = 0 ] || fail "exit $rc: $err"
[ "$(bytes "$work/info.out" 0 4096)" = "$(bytes "$u/units/$serial_a/flash.bin" 0 2048)" ] || fail "flash bytes differ"

case_ "an existing upload target is refused: File exists, exit 73, file kept"
echo keep >"$work/exists"
dfu "$u" -d 0483 -a 0 -s 0x08000000:2048 -U "$work/exists"
[ "$rc" = 73 ] || fail "exit $rc"
grep -q "File exists" <<<"$err" || fail "stderr: $err"
[ "$(cat "$work/exists")" = keep ] || fail "target overwritten"

case_ "download with leave: sectors erased, image written, unit leaves and comes back"
u="$work/dl"
new_unit "$u" "$serial_a" "reappear_ms=3000"
f="$u/units/$serial_a/flash.bin"
cp "$f" "$work/flash.before"
# One block past 128 KiB reaches into sector 5 (128 KiB at 0x08020000), which is erased whole.
image "$work/img.bin" $((131072 + 100))
dfu "$u" -d 0483 -a 0 -s 0x08000000:leave -D "$work/img.bin"
[ "$rc" = 0 ] || fail "exit $rc: $err"
grep -q "Transitioning to dfuMANIFEST state" <<<"$out" || fail "no manifestation"
cmp -s "$work/img.bin" <(head -c $((131072 + 100)) "$f") || fail "image not in flash.bin"
[ "$(bytes "$f" $((131072 + 100)) $((131072 - 100)) | tr -d f)" = "" ] || fail "rest of sector 5 not erased"
[ "$(bytes "$f" 262144 786432 | md5sum)" = "$(bytes "$work/flash.before" 262144 786432 | md5sum)" ] ||
    fail "sectors 6 and up changed"
[ "$(stat -c %s "$f")" = 1048576 ] || fail "flash.bin size changed"
[ -s "$u/units/$serial_a/absent_until" ] || fail "no absent_until"
dfu "$u" -d 0483 -l
[ -z "$(found_lines)" ] || fail "still listed right after leave"
wait_listed "$u" || fail "not listed again"
dfu "$u" -d 0483 -a 0 -s 0x08000000:$((131072 + 100)) -U "$work/readback.out"
[ "$rc" = 0 ] || fail "read-back exit $rc: $err"
cmp -s "$work/img.bin" "$work/readback.out" || fail "read-back differs from the image"

case_ "programming without erase only clears bits (OTP is not erasable)"
u="$work/otp"
new_unit "$u" "$serial_a"
head -c 512 /dev/zero | tr '\0' '\377' >"$u/units/$serial_a/otp.bin"
printf '\xF0\x0F\xAA\x55' >"$work/w1"
printf '\x3C\x3C\xFF\x00' >"$work/w2"
dfu "$u" -d 0483 -a 2 -s 0x1FFF7800 -D "$work/w1"
[ "$rc" = 0 ] || fail "first write exit $rc: $err"
dfu "$u" -d 0483 -a 2 -s 0x1FFF7800 -D "$work/w2"
[ "$rc" = 0 ] || fail "second write exit $rc: $err"
[ "$(bytes "$u/units/$serial_a/otp.bin" 0 6)" = "300caa00ffff" ] ||
    fail "OTP holds $(bytes "$u/units/$serial_a/otp.bin" 0 6), expected 300caa00ffff"
[ ! -e "$u/units/$serial_a/absent_until" ] || fail "unit left without a leave request"

case_ "knob devnum"
u="$work/devnum"
new_unit "$u" "$serial_a" "# a comment" "" "devnum=3"
dfu "$u" -d 0483 -l
[ "$(found_lines | grep -c 'devnum=3,')" = 4 ] || fail "$(found_lines)"

case_ "an unknown knob is an error"
u="$work/unknown"
new_unit "$u" "$serial_a" "erase_fail=1"
dfu "$u" -d 0483 -l
[ "$rc" != 0 ] || fail "exit 0"
grep -q "unknown knob erase_fail in $u/units/$serial_a/knobs" <<<"$err" || fail "stderr: $err"
[ -z "$(found_lines)" ] || fail "listed"

case_ "absent_until in the future hides the unit, in the past not"
u="$work/absent"
new_unit "$u" "$serial_a"
echo 99999999999999 >"$u/units/$serial_a/absent_until"
dfu "$u" -d 0483 -l
[ -z "$(found_lines)" ] || fail "listed while absent"
echo 1 >"$u/units/$serial_a/absent_until"
dfu "$u" -d 0483 -l
[ "$(found_lines | wc -l)" = 4 ] || fail "not listed after absence"

case_ "knob never_returns"
u="$work/never"
new_unit "$u" "$serial_a" "never_returns=1"
image "$work/small.bin" 4096
dfu "$u" -d 0483 -a 0 -s 0x08000000:leave -D "$work/small.bin"
[ "$rc" = 0 ] || fail "exit $rc: $err"
[ "$(cat "$u/units/$serial_a/absent_until")" = 99999999999999 ] || fail "absent_until $(cat "$u/units/$serial_a/absent_until")"

case_ "knob no_status_after_leave: get_status error, image written, unit leaves"
u="$work/nostatus"
new_unit "$u" "$serial_a" "no_status_after_leave=1" "reappear_ms=200"
dfu "$u" -d 0483 -a 0 -s 0x08000000:leave -D "$work/img.bin"
[ "$rc" = 74 ] || fail "exit $rc"
grep -q "Error during download get_status" <<<"$err" || fail "stderr: $err"
cmp -s "$work/img.bin" <(head -c $((131072 + 100)) "$u/units/$serial_a/flash.bin") || fail "image not written"
[ -s "$u/units/$serial_a/absent_until" ] || fail "unit did not leave"
wait_listed "$u" || fail "not listed again"

case_ "knob otp_read_fails: listed, OTP read fails, flash read works"
u="$work/unreadable"
new_unit "$u" "$serial_a" "otp_read_fails=1"
dfu "$u" -d 0483 -l
[ "$(found_lines | wc -l)" = 4 ] || fail "not listed"
dfu "$u" -d 0483 -a 2 -s 0x1FFF7800:512 -U "$work/otp2.out"
[ "$rc" != 0 ] || fail "OTP read succeeded"
dfu "$u" -d 0483 -a 0 -s 0x08000000:2048 -U "$work/info2.out"
[ "$rc" = 0 ] || fail "flash read exit $rc"

case_ "knob upload_stall: flash read fails, OTP read works"
u="$work/stall"
new_unit "$u" "$serial_a" "upload_stall=1"
dfu "$u" -d 0483 -a 0 -s 0x08000000:2048 -U "$work/info3.out"
[ "$rc" != 0 ] || fail "flash read succeeded"
dfu "$u" -d 0483 -a 2 -s 0x1FFF7800:512 -U "$work/otp3.out"
[ "$rc" = 0 ] || fail "OTP read exit $rc"

case_ "knob erase_fails: download fails, flash unchanged, unit stays"
u="$work/erase"
new_unit "$u" "$serial_a" "erase_fails=1"
cp "$u/units/$serial_a/flash.bin" "$work/flash.before"
dfu "$u" -d 0483 -a 0 -s 0x08000000:leave -D "$work/img.bin"
[ "$rc" != 0 ] || fail "download succeeded"
cmp -s "$work/flash.before" "$u/units/$serial_a/flash.bin" || fail "flash changed"
[ ! -e "$u/units/$serial_a/absent_until" ] || fail "unit left"

case_ "knob download_fails: download fails with the flash partly written, unit stays"
u="$work/dlfails"
new_unit "$u" "$serial_a" "download_fails=1"
dfu "$u" -d 0483 -a 0 -s 0x08000000:leave -D "$work/img.bin"
[ "$rc" != 0 ] || fail "download succeeded"
f="$u/units/$serial_a/flash.bin"
[ "$(bytes "$f" 0 2048)" = "$(bytes "$work/img.bin" 0 2048)" ] || fail "first block not written"
[ "$(bytes "$f" 2048 2048 | tr -d f)" = "" ] || fail "second block not left erased"
[ ! -e "$u/units/$serial_a/absent_until" ] || fail "unit left"

case_ "knob vanishes_during_verify: 2048-byte read works, a longer read fails and the unit is gone"
u="$work/vanish"
new_unit "$u" "$serial_a" "vanishes_during_verify=1"
dfu "$u" -d 0483 -a 0 -s 0x08000000:2048 -U "$work/info4.out"
[ "$rc" = 0 ] || fail "2048-byte read exit $rc"
dfu "$u" -d 0483 -a 0 -s 0x08000000:131072 -U "$work/verify4.out"
[ "$rc" != 0 ] || fail "long read succeeded"
dfu "$u" -d 0483 -l
[ -z "$(found_lines)" ] || fail "still listed"
[ "$(cat "$u/units/$serial_a/absent_until")" = 99999999999999 ] || fail "comes back"

case_ "knob extra_listing_line: a fifth line for the serial"
u="$work/extra"
new_unit "$u" "$serial_a" "extra_listing_line=1"
dfu "$u" -d 0483 -l
[ "$(found_lines | grep -c "serial=\"$serial_a\"")" = 5 ] || fail "$(found_lines)"
found_lines | head -1 | grep -q 'alt=4, name="@Reserved /0x00000000/01\*001 e"' || fail "first line: $(found_lines | head -1)"
dfu "$u" -d 0483 -a 0 -s 0x08000000:2048 -U "$work/info5.out"
[ "$rc" = 0 ] || fail "flash read exit $rc"

case_ "knob slow_read_ms: accepted and used once"
u="$work/slow"
new_unit "$u" "$serial_a" "slow_read_ms=10" "devnum=9"
dfu "$u" -d 0483 -a 0 -s 0x08000000:2048 -U "$work/info6.out"
[ "$rc" = 0 ] || fail "exit $rc"
[ "$(cat "$u/units/$serial_a/knobs")" = "devnum=9" ] || fail "knobs now: $(cat "$u/units/$serial_a/knobs")"

case_ "knob access_denied: not listed but named on standard error; reads and downloads find no unit"
u="$work/denied"
new_unit "$u" "$serial_a" "access_denied=1" "devnum=5"
cp "$u/units/$serial_a/flash.bin" "$work/flash.before"
denied_line="dfu-util: Cannot open DFU device 0483:df11 found on devnum 5 (LIBUSB_ERROR_ACCESS)"
dfu "$u" -d 0483 -l
[ "$rc" = 0 ] || fail "listing exit $rc"
[ -z "$(found_lines)" ] || fail "listed: $(found_lines)"
[ "$err" = "$denied_line" ] || fail "listing stderr: $err"
rm -f "$work/denied.out"
dfu "$u" -d 0483 -a 0 -s 0x08000000:2048 -U "$work/denied.out"
[ "$rc" = 74 ] || fail "read exit $rc"
[ "$err" = "$denied_line"$'\n'"dfu-util: No DFU capable USB device available" ] || fail "read stderr: $err"
[ ! -e "$work/denied.out" ] || fail "read target created"
dfu "$u" -d 0483 -a 0 -s 0x08000000:leave -D "$work/img.bin"
[ "$rc" = 74 ] || fail "download exit $rc"
grep -qx "dfu-util: No DFU capable USB device available" <<<"$err" || fail "download stderr: $err"
cmp -s "$work/flash.before" "$u/units/$serial_a/flash.bin" || fail "flash changed"

case_ "knob busy: listed; reads and downloads cannot claim the interface"
u="$work/busy"
new_unit "$u" "$serial_a" "busy=1"
cp "$u/units/$serial_a/flash.bin" "$work/flash.before"
dfu "$u" -d 0483 -l
[ "$rc" = 0 ] && [ "$(found_lines | wc -l)" = 4 ] || fail "listing exit $rc: $(found_lines)"
for args in "-a 2 -s 0x1FFF7800:512 -U $work/busy.otp" "-a 0 -s 0x08000000:leave -D $work/img.bin"; do
    # shellcheck disable=SC2086 # word splitting of the table row is the point
    dfu "$u" -d 0483 $args
    [ "$rc" = 74 ] || fail "$args: exit $rc"
    [ "$(tail -1 <<<"$err")" = "dfu-util: Cannot claim interface - LIBUSB_ERROR_BUSY" ] || fail "$args: stderr $err"
    [ "$(tail -1 <<<"$out")" = "Claiming USB DFU Interface..." ] || fail "$args: stdout ends with $(tail -1 <<<"$out")"
done
[ ! -e "$work/busy.otp" ] || fail "read target created"
cmp -s "$work/flash.before" "$u/units/$serial_a/flash.bin" || fail "flash changed"

case_ "knob list_fails_once: the next listing fails, the line goes, the next listing is whole"
u="$work/glitch"
new_unit "$u" "$serial_a" "devnum=9" "list_fails_once=1"
# A read first leaves the knob for the listing it concerns.
dfu "$u" -d 0483 -a 2 -s 0x1FFF7800:512 -U "$work/glitch.otp"
[ "$rc" = 0 ] || fail "read exit $rc: $err"
dfu "$u" -d 0483 -l
[ "$rc" = 74 ] || fail "first listing exit $rc"
[ "$err" = "dfu-util: unable to initialize libusb: LIBUSB_ERROR_OTHER" ] || fail "first listing stderr: $err"
[ -z "$(found_lines)" ] || fail "first listing listed"
[ "$(cat "$u/units/$serial_a/knobs")" = "devnum=9" ] || fail "knobs now: $(cat "$u/units/$serial_a/knobs")"
dfu "$u" -d 0483 -l
[ "$rc" = 0 ] && [ "$(found_lines | grep -c 'devnum=9,')" = 4 ] || fail "second listing exit $rc: $(found_lines)"

case_ "-S: the tool itself matches the serial, with one unit and with two"
u="$work/serials"
new_unit "$u" "$serial_a"
new_unit "$u" "$serial_b"
# serial given | unit whose OTP is read, or "none"
while read -r given which; do
    rm -f "$work/serial.otp"
    dfu "$u" -d 0483 -S "$given" -a 2 -s 0x1FFF7800:512 -U "$work/serial.otp"
    if [ "$which" = none ]; then
        [ "$rc" = 74 ] || fail "-S $given: exit $rc"
        [ "$err" = "dfu-util: No DFU capable USB device available" ] || fail "-S $given: stderr $err"
    else
        [ "$rc" = 0 ] || fail "-S $given: exit $rc: $err"
        cmp -s "$work/serial.otp" "$u/units/$which/otp.bin" || fail "-S $given: not the OTP of $which"
    fi
done <<ROWS
$serial_a $serial_a
$serial_b $serial_b
3574364C3036 none
3574364c3034 none
3574364C303 none
other,$serial_b $serial_b
ROWS
dfu "$work/one" -d 0483 -S "$serial_b" -a 2 -s 0x1FFF7800:512 -U "$work/serial2.otp"
[ "$rc" = 74 ] && grep -q "No DFU capable USB device available" <<<"$err" || fail "one unit, other serial: exit $rc"

case_ "fixture --sysfs: the bus shows the unit while the command runs and follows it through a download"
u="$work/sysfs-units" s="$work/sysfs"
new_unit "$u" "$serial_a" "reappear_ms=1500"
# The command sees the unit, downloads, sees it go and come back; each wait is bounded.
"$fixture" "$u" --sysfs "$s" -- bash -c '
    d="$VELTARO_SYSFS_ROOT/bus/usb/devices/1-1.4"
    wait_for() { for i in $(seq 1 500); do eval "$1" && return 0; sleep 0.01; done; echo "timeout: $1"; return 1; }
    [ "$(cat "$d/serial")" = "$1" ] || { echo "serial: $(cat "$d/serial")"; exit 1; }
    "$2" -d 0483 -a 0 -s 0x08000000:leave -D "$3" >/dev/null 2>&1 || { echo "download failed"; exit 1; }
    wait_for "[ ! -e \"$d\" ]" && wait_for "[ -e \"$d/idVendor\" ]" && echo followed
' _ "$serial_a" "$dfu_util" "$work/small.bin" >"$work/out" 2>&1
[ "$(cat "$work/out")" = followed ] || fail "inside the fixture: $(cat "$work/out")"
bus_left() { grep -lsF "$s" /proc/[0-9]*/cmdline >/dev/null; }
for _ in $(seq 1 200); do bus_left || break; sleep 0.01; done
! bus_left || fail "the bus outlived the command"

case_ "the fixture wins over the library beside a tool with RUNPATH \$ORIGIN (as the program unpacks it)"
system_libusb="$(ldconfig -p | sed -n 's/^[[:space:]]*libusb-1.0.so.0 (libc6,x86-64) => //p' | head -1)"
if command -v patchelf >/dev/null && [ -n "$system_libusb" ]; then
    mkdir -p "$work/unpacked"
    cp "$dfu_util" "$work/unpacked/dfu-util"
    patchelf --set-rpath '$ORIGIN' "$work/unpacked/dfu-util"
    cp "$system_libusb" "$work/unpacked/libusb-1.0.so.0"
    "$fixture" "$work/one" -- "$work/unpacked/dfu-util" -d 0483 -l >"$work/out" 2>&1
    [ "$(grep -c "serial=\"$serial_a\"" "$work/out")" = 4 ] || fail "emulated unit not listed: $(cat "$work/out")"
else
    echo "skipped: patchelf or the system libusb missing"
fi

finish
