#!/usr/bin/env bash
# Script-level checks of simulator/dfu-util_simulator.sh: every prepared scenario,
# the reads, a download with the unit leaving and coming back, and the refusals.
#   test_simulator_script.sh [path/to/dfu-util_simulator.sh]

set -u
export LC_ALL=C
SIM=${1:-$(cd "$(dirname "$0")/../../simulator" && pwd)/dfu-util_simulator.sh}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
export VELTARO_UNITS_DIR=$WORK/state
SERIAL=3574364C3034
SERIAL2=3574364C3035
FAILS=0

fail() {
    printf 'FAIL [%s]: %s\n' "$CASE" "$*" >&2
    FAILS=$((FAILS + 1))
}
check() { # description command...
    local what=$1
    shift
    "$@" || fail "$what"
}
sim() { bash "$SIM" --dfu-util-command "$1" --fast-progress "${@:2}"; }
setup() { bash "$SIM" --dfu-util-command setup_prepared_config "$1" >/dev/null || fail "setup $1"; }
hex_at() { od -An -tx1 -v -j "$2" -N "$3" "$1" | tr -d ' \n'; } # file offset count
text_at() { dd if="$1" bs=1 skip="$2" count=32 status=none | tr -d '\0'; }
found_lines() { grep '^Found DFU: \[0483:df11\] ver=2200' <<<"$1"; }
read_otp() { rm -f "$WORK/otp.bin" && sim upload_OTP -d 0483 -a 2 -s 0x1FFF7800:512 -U "$WORK/otp.bin" >/dev/null 2>"$WORK/err"; }
read_info() { rm -f "$WORK/info.bin" && sim upload_FW -d 0483 -a 0 -s 0x08000000:2048 -U "$WORK/info.bin" >/dev/null 2>"$WORK/err"; }
read_flash() { rm -f "$WORK/flash.bin" && sim upload_FW -d 0483 -a 0 -s "0x08000000:$1" -U "$WORK/flash.bin" >/dev/null 2>"$WORK/err"; }
download() { sim download_FW -d 0483 -a 0 -s 0x08000000:leave -D "$1" >/dev/null 2>"$WORK/err"; }
knob() { printf '%s\n' "$2" >>"$VELTARO_UNITS_DIR/units/$1/knobs"; }
wait_listed() { # serial count; bounded wait for the unit to come back
    local i
    for ((i = 0; i < 100; i++)); do
        [[ $(found_lines "$(sim list -d 0483 -l)" | grep -c "serial=\"$1\"") == "$2" ]] && return 0
        sleep 0.1
    done
    return 1
}

# An image of the program's kind: information block at 428 with revision 2.4.0, 128 KiB.
field() { printf '%s' "$1" && head -c $((32 - ${#1})) /dev/zero; }
{
    printf '\x00\x00\x02\x20\xc1\x01\x00\x08'
    yes 'image body ' | head -c 420
    printf '\x12\x47\x23\x01\x04\xff\xff\xff'
    field "Lx-50 application"
    field "2.4.0"
    field build_type
    field release
    printf '\x13\x47\x23\x01'
    yes 'desired firmware 2.4.0 ' | head -c $((131072 - 428 - 140))
} >"$WORK/firmware.bin"
export VELTARO_SIM_FIRMWARE=$WORK/firmware.bin
IMAGE_SIZE=131072
OTP_ENTRY_TYPE4=1147230104ffffff

CASE=version
out=$(sim version -V; printf x)
expected='dfu-util 0.9

Copyright 2005-2009 Weston Schmidt, Harald Welte and OpenMoko Inc.
Copyright 2010-2016 Tormod Volden and Stefan Schmidt
This program is Free Software and has ABSOLUTELY NO WARRANTY
Please report bugs to http://sourceforge.net/p/dfu-util/tickets/

x'
check "banner text" test "$out" == "$expected"
check "banner length" test "${#out}" -eq 262 # 261 + the marker x

CASE=default_state
rm -rf "$VELTARO_UNITS_DIR"
listing=$(sim list -d 0483 -l)
check "an empty state directory gets the outdated unit" test "$(found_lines "$listing" | grep -c "serial=\"$SERIAL\"")" -eq 4
check "state directory is private" test "$(stat -c %a "$VELTARO_UNITS_DIR")" = 700

CASE=outdated
setup outdated
listing=$(sim list -d 0483 -l)
expected_names=('@Device Feature/0xFFFF0000/01*004 e' '@OTP Memory /0x1FFF7800/01*512 e,01*016 e'
    '@Option Bytes  /0x1FFFC000/01*016 e' '@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg')
mapfile -t lines < <(found_lines "$listing")
check "four lines" test "${#lines[@]}" -eq 4
for i in 0 1 2 3; do
    want="Found DFU: [0483:df11] ver=2200, devnum=7, cfg=1, intf=0, path=\"1-1\", alt=$((3 - i)), name=\"${expected_names[i]}\", serial=\"$SERIAL\""
    check "listing line $i" test "${lines[i]:-}" == "$want"
done
check "listing starts with the banner" test "$(head -1 <<<"$listing")" == "dfu-util 0.9"
check "OTP read" read_otp
check "OTP is 512 bytes" test "$(stat -c %s "$WORK/otp.bin")" -eq 512
check "OTP entry in slot 0, type 4" test "$(hex_at "$WORK/otp.bin" 0 8)" == "$OTP_ENTRY_TYPE4"
check "OTP rest erased" test "$(hex_at "$WORK/otp.bin" 16 496 | tr -d f)" == ""
check "info read" read_info
check "info is 2048 bytes" test "$(stat -c %s "$WORK/info.bin")" -eq 2048
check "info block begins at 428, type 4" test "$(hex_at "$WORK/info.bin" 428 8)" == 1247230104ffffff
check "info revision" test "$(text_at "$WORK/info.bin" 468)" == "2.3.1"
# Nine pairs: end marker at 428 + 72 + 9 * 64.
check "info end marker" test "$(hex_at "$WORK/info.bin" $((428 + 72 + 9 * 64)) 4)" == 13472301
check "odd length read" read_flash 1000
check "odd length read size" test "$(stat -c %s "$WORK/flash.bin")" -eq 1000
check "same bytes as the first read" cmp -s -n 1000 "$WORK/flash.bin" "$WORK/info.bin"

CASE=refusals
touch "$WORK/exists.bin"
sim upload_FW -d 0483 -a 0 -s 0x08000000:2048 -U "$WORK/exists.bin" >/dev/null 2>"$WORK/err"
check "existing file: exit 73" test $? -eq 73
check "existing file: message" grep -q "Cannot open file $WORK/exists.bin for writing: File exists" "$WORK/err"
check "existing file untouched" test ! -s "$WORK/exists.bin"
rm -f "$WORK/x.bin"
sim upload_FW -d 0483 -s 0x08000000:2048 -U "$WORK/x.bin" >/dev/null 2>"$WORK/err"
check "no -a: several interfaces match" test $? -eq 74 -a ! -e "$WORK/x.bin"
sim upload_FW -d 0483 -a 0 -s 0x0800zz:2048 -U "$WORK/x.bin" >/dev/null 2>"$WORK/err"
check "bad address: exit 64" test $? -eq 64
check "bad address: message" grep -q "Invalid dfuse address: 0x0800zz" "$WORK/err"
sim upload_FW -d 0483 -a 0 -x -U "$WORK/y.bin" >/dev/null 2>"$WORK/err"
check "unknown option: exit 64" test $? -eq 64
sim download_FW -d 0483 -a 0 -s 0x08000000:leave -D "$WORK/missing.bin" >/dev/null 2>"$WORK/err"
check "missing image: exit 66" test $? -eq 66
sim frobnicate -d 0483 -l >/dev/null 2>"$WORK/err"
check "unknown word" test $? -ne 0 -a -s "$WORK/err"
bash "$SIM" --dfu-util-command setup_prepared_config no_such_config >/dev/null 2>"$WORK/err"
check "unknown scenario: non-zero" test $? -ne 0
check "unknown scenario: message" grep -q "no_such_config" "$WORK/err"
check "unknown scenario leaves the units" test -d "$VELTARO_UNITS_DIR/units/$SERIAL"
knob $SERIAL "slow_raed_ms=10"
sim list -d 0483 -l >/dev/null 2>"$WORK/err"
check "unknown knob: list fails" test $? -ne 0
check "unknown knob: message" grep -q "unknown knob slow_raed_ms in $VELTARO_UNITS_DIR/units/$SERIAL/knobs" "$WORK/err"
read_otp
check "unknown knob: reads fail too" test $? -ne 0

CASE=download
setup outdated
knob $SERIAL "reappear_ms=300"
check "download" download "$WORK/firmware.bin"
check "absent after leaving" test -z "$(found_lines "$(sim list -d 0483 -l)")"
read_info
check "absent unit cannot be read" test $? -eq 74
check "absent: message" grep -q "No DFU capable USB device available" "$WORK/err"
check "present again" wait_listed $SERIAL 4
check "new revision" read_info
check "new revision text" test "$(text_at "$WORK/info.bin" 468)" == "2.4.0"
check "read-back" read_flash $IMAGE_SIZE
check "read-back equals the image" cmp -s "$WORK/flash.bin" "$WORK/firmware.bin"

CASE=erase_layout
setup outdated
knob $SERIAL "reappear_ms=0"
head -c 1000 "$WORK/firmware.bin" >"$WORK/small.bin"
old=$(hex_at "$VELTARO_UNITS_DIR/units/$SERIAL/flash.bin" 16384 64)
check "small download" download "$WORK/small.bin"
check "small read-back" read_flash 65536
check "image written" cmp -s -n 1000 "$WORK/flash.bin" "$WORK/small.bin"
check "rest of sector 0 erased" test "$(hex_at "$WORK/flash.bin" 1000 $((16384 - 1000)) | tr -d f)" == ""
check "sector 1 kept" test "$(hex_at "$WORK/flash.bin" 16384 64)" == "$old"
check "sector 1 held code" test "$(tr -d f <<<"$old")" != ""

CASE=never_returns
setup outdated
knob $SERIAL "never_returns=1"
check "download" download "$WORK/firmware.bin"
check "gone for good" test "$(cat "$VELTARO_UNITS_DIR/units/$SERIAL/absent_until")" == 99999999999999

CASE=current
setup current
check "listed" test "$(found_lines "$(sim list -d 0483 -l)" | wc -l)" -eq 4
check "OTP read" read_otp
check "OTP type 4" test "$(hex_at "$WORK/otp.bin" 0 8)" == "$OTP_ENTRY_TYPE4"
check "read-back" read_flash $IMAGE_SIZE
check "flash equals the image" cmp -s "$WORK/flash.bin" "$WORK/firmware.bin"
check "rest erased" test "$(hex_at "$VELTARO_UNITS_DIR/units/$SERIAL/flash.bin" $IMAGE_SIZE 4096 | tr -d f)" == ""

CASE=corrupt
setup corrupt
check "read-back" read_flash $IMAGE_SIZE
diffs=$(cmp -l "$WORK/flash.bin" "$WORK/firmware.bin")
check "exactly one byte differs" test "$(grep -c . <<<"$diffs")" -eq 1
check "outside the information block" test "$(awk '{print $1}' <<<"$diffs")" -gt 2048
check "info block intact" read_info
check "revision is the desired one" test "$(text_at "$WORK/info.bin" 468)" == "2.4.0"

CASE=blank_otp
setup blank_otp
check "OTP read" read_otp
check "OTP all 0xFF" test "$(hex_at "$WORK/otp.bin" 0 512 | tr -d f)" == ""

CASE=other_product
setup other_product
check "OTP read" read_otp
check "OTP type 43" test "$(hex_at "$WORK/otp.bin" 0 8)" == 114723012bffffff
check "info read" read_info
check "info type 43" test "$(hex_at "$WORK/info.bin" 428 8)" == 124723012bffffff

CASE=unknown_type
setup unknown_type
check "OTP read" read_otp
check "OTP type byte 7" test "$(hex_at "$WORK/otp.bin" 0 8)" == 1147230107ffffff

CASE=no_unit
setup no_unit
listing=$(sim list -d 0483 -l)
check "list succeeds" test $? -eq 0
check "no unit listed" test -z "$(found_lines "$listing")"
read_otp
check "read fails with 74" test $? -eq 74

CASE=two_units
setup two_units
mapfile -t lines < <(found_lines "$(sim list -d 0483 -l)")
check "eight lines" test "${#lines[@]}" -eq 8
check "first unit first" test "$(grep -c "devnum=7, .*path=\"1-1\".*serial=\"$SERIAL\"" < <(printf '%s\n' "${lines[@]:0:4}"))" -eq 4
check "second unit" test "$(grep -c "devnum=8, .*path=\"1-2\".*serial=\"$SERIAL2\"" < <(printf '%s\n' "${lines[@]:4:4}"))" -eq 4
read_otp
check "read fails with 74" test $? -eq 74
check "read: more than one" grep -q "More than one DFU capable USB device found" "$WORK/err"
download "$WORK/firmware.bin"
check "download fails with 74" test $? -eq 74

CASE=unreadable
setup unreadable
check "listed" test "$(found_lines "$(sim list -d 0483 -l)" | wc -l)" -eq 4
read_otp
check "OTP read fails" test $? -ne 0

CASE=bad_listing
setup bad_listing
check "five lines for one serial" test "$(found_lines "$(sim list -d 0483 -l)" | grep -c "serial=\"$SERIAL\"")" -eq 5

CASE=download_fails
setup download_fails
download "$WORK/firmware.bin"
check "download fails" test $? -ne 0
check "still listed" test "$(found_lines "$(sim list -d 0483 -l)" | wc -l)" -eq 4
check "read-back" read_flash $IMAGE_SIZE
check "first half written" cmp -s -n 65536 "$WORK/flash.bin" "$WORK/firmware.bin"
check "second half not written" test "$(hex_at "$WORK/flash.bin" 65536 65536 | tr -d f)" == ""

CASE=vanishes_during_verify
setup vanishes_during_verify
check "info read works" read_info
read_flash $IMAGE_SIZE
check "long read fails" test $? -ne 0
check "the target file stays, as dfu-util leaves it" test -e "$WORK/flash.bin"
check "gone" test -z "$(found_lines "$(sim list -d 0483 -l)")"

CASE=slow
setup slow
check "slow knob set" grep -qx "slow_read_ms=35000" "$VELTARO_UNITS_DIR/units/$SERIAL/knobs"
sed -i 's/^slow_read_ms=.*/slow_read_ms=50/' "$VELTARO_UNITS_DIR/units/$SERIAL/knobs"
check "slow read succeeds" read_info
check "slow read delivers the block" test "$(hex_at "$WORK/info.bin" 428 4)" == 12472301
check "happens once" test -z "$(grep slow_read_ms "$VELTARO_UNITS_DIR/units/$SERIAL/knobs")"

CASE=access_denied
setup access_denied
cp "$VELTARO_UNITS_DIR/units/$SERIAL/flash.bin" "$WORK/flash.before"
denied_line="dfu-util: Cannot open DFU device 0483:df11 found on devnum 7 (LIBUSB_ERROR_ACCESS)"
listing=$(sim list -d 0483 -l 2>"$WORK/err")
check "list succeeds" test $? -eq 0
check "nothing listed" test -z "$(found_lines "$listing")"
check "named on stderr" test "$(cat "$WORK/err")" == "$denied_line"
read_otp
check "read: exit 74" test $? -eq 74
check "read: messages" test "$(cat "$WORK/err")" == "$denied_line"$'\n'"dfu-util: No DFU capable USB device available"
check "read: no target file" test ! -e "$WORK/otp.bin"
download "$WORK/firmware.bin"
check "download: exit 74" test $? -eq 74
check "download: no unit" test "$(tail -1 "$WORK/err")" == "dfu-util: No DFU capable USB device available"
check "flash unchanged" cmp -s "$WORK/flash.before" "$VELTARO_UNITS_DIR/units/$SERIAL/flash.bin"

CASE=busy
setup busy
cp "$VELTARO_UNITS_DIR/units/$SERIAL/flash.bin" "$WORK/flash.before"
check "listed" test "$(found_lines "$(sim list -d 0483 -l)" | wc -l)" -eq 4
for word in upload_OTP download_FW; do
    rm -f "$WORK/busy.bin"
    if [[ $word == upload_OTP ]]; then
        sim upload_OTP -d 0483 -a 2 -s 0x1FFF7800:512 -U "$WORK/busy.bin" >"$WORK/out" 2>"$WORK/err"
    else
        sim download_FW -d 0483 -a 0 -s 0x08000000:leave -D "$WORK/firmware.bin" >"$WORK/out" 2>"$WORK/err"
    fi
    check "$word: exit 74" test $? -eq 74
    check "$word: claim refused" test "$(tail -1 "$WORK/err")" == "dfu-util: Cannot claim interface - LIBUSB_ERROR_BUSY"
    check "$word: stops at the claim" test "$(tail -1 "$WORK/out")" == "Claiming USB DFU Interface..."
done
check "no target file" test ! -e "$WORK/busy.bin"
check "flash unchanged" cmp -s "$WORK/flash.before" "$VELTARO_UNITS_DIR/units/$SERIAL/flash.bin"

CASE=list_fails_once
setup outdated
knob $SERIAL "devnum=9"
knob $SERIAL "list_fails_once=1"
check "a read leaves the knob" read_otp
sim list -d 0483 -l >"$WORK/out" 2>"$WORK/err"
check "first listing: exit 74" test $? -eq 74
check "first listing: message" test "$(cat "$WORK/err")" == "dfu-util: unable to initialize libusb: LIBUSB_ERROR_OTHER"
check "first listing: banner, no unit" test "$(head -1 "$WORK/out")" == "dfu-util 0.9" -a -z "$(found_lines "$(cat "$WORK/out")")"
check "the knob line goes, the others stay" test "$(cat "$VELTARO_UNITS_DIR/units/$SERIAL/knobs")" == "devnum=9"
check "second listing whole" test "$(found_lines "$(sim list -d 0483 -l)" | grep -c 'devnum=9,')" -eq 4

CASE=listing_starts_no_process
# The listing runs on every poll: with no program to be found it still works, knobs, paced wait and
# all (a missing program would also show on standard error). The first wait makes the FIFO it waits on.
setup two_units
knob $SERIAL "access_denied=1"
bash "$SIM" --dfu-util-command list -d 0483 -l >/dev/null 2>&1
check "FIFO to wait on" test -p "$VELTARO_UNITS_DIR/.pace"
listing=$(PATH=/nonexistent "$BASH" "$SIM" --dfu-util-command list -d 0483 -l 2>"$WORK/err")
check "lists the other unit" test "$(found_lines "$listing" | grep -c "serial=\"$SERIAL2\"")" -eq 4
check "names the denied unit only" test "$(cat "$WORK/err")" == "dfu-util: Cannot open DFU device 0483:df11 found on devnum 7 (LIBUSB_ERROR_ACCESS)"
knob $SERIAL2 "list_fails_once=1"
PATH=/nonexistent "$BASH" "$SIM" --dfu-util-command list --fast-progress -d 0483 -l >/dev/null 2>"$WORK/err"
rc=$?
check "a failing listing too" test $rc -eq 74 -a "$(cat "$WORK/err")" == "dfu-util: unable to initialize libusb: LIBUSB_ERROR_OTHER"
check "knob removed without a process" test -z "$(grep list_fails_once "$VELTARO_UNITS_DIR/units/$SERIAL2/knobs")"

CASE=serial
setup two_units
# -S value | unit whose OTP area is read, "none" (no unit) or "several"
while read -r given which; do
    rm -f "$WORK/otp.bin"
    sim upload_OTP -d 0483 -S "$given" -a 2 -s 0x1FFF7800:512 -U "$WORK/otp.bin" >/dev/null 2>"$WORK/err"
    rc=$?
    case $which in
    none)
        check "-S $given: exit 74" test $rc -eq 74
        check "-S $given: message" test "$(cat "$WORK/err")" == "dfu-util: No DFU capable USB device available"
        ;;
    several)
        check "-S $given: exit 74" test $rc -eq 74
        check "-S $given: message" grep -q "More than one DFU capable USB device found" "$WORK/err"
        ;;
    *)
        check "-S $given: exit 0" test $rc -eq 0
        check "-S $given: the OTP of $which" cmp -s "$WORK/otp.bin" "$VELTARO_UNITS_DIR/units/$which/otp.bin"
        ;;
    esac
done <<ROWS
$SERIAL $SERIAL
$SERIAL2 $SERIAL2
3574364C3036 none
3574364c3035 none
3574364C303 none
other,$SERIAL2 $SERIAL2
$SERIAL, several
ROWS
# The two units must differ for the rows above to tell them apart.
printf '\x2a' | dd of="$VELTARO_UNITS_DIR/units/$SERIAL2/otp.bin" bs=1 seek=100 conv=notrunc status=none
check "the units differ" test "$(hex_at "$VELTARO_UNITS_DIR/units/$SERIAL/otp.bin" 100 1)" != 2a
rm -f "$WORK/otp.bin"
sim upload_OTP -d 0483 -S $SERIAL2 -a 2 -s 0x1FFF7800:512 -U "$WORK/otp.bin" >/dev/null 2>&1
check "-S picks the second unit" test "$(hex_at "$WORK/otp.bin" 100 1)" == 2a
listing=$(sim list -d 0483 -S $SERIAL2 -l)
check "listing with -S: only that unit" test "$(found_lines "$listing" | grep -c "serial=\"$SERIAL2\"")" -eq 4 -a "$(found_lines "$listing" | wc -l)" -eq 4
setup outdated
read_otp_as() { rm -f "$WORK/otp.bin" && sim upload_OTP -d 0483 -S "$1" -a 2 -s 0x1FFF7800:512 -U "$WORK/otp.bin" >/dev/null 2>"$WORK/err"; }
read_otp_as $SERIAL2
check "one unit, another serial: exit 74" test $? -eq 74
check "one unit, another serial: message" test "$(cat "$WORK/err")" == "dfu-util: No DFU capable USB device available"

CASE=progress
# dfu-util's bar, as the program parses it: "\r" before each state, label padded to 8 (Upload not),
# a tab, 25 places, the percentage in 3, the bytes in 12; "LABEL done." after the full bar.
bar_re=$'^(Erase   |Download|Upload)\t\\[([= ]{25})\\] ([ 0-9]{3})% ([ 0-9]{12}) bytes$'
check_bars() { # output_file label total min_states
    local line states=0 last=-1 fill pct bytes
    while IFS= read -r line; do
        [[ $line == "$2"$'\t'* ]] || continue
        [[ $line =~ $bar_re ]] || { fail "$2: not the tool's form: '$line'"; return; }
        fill=${BASH_REMATCH[2]//[^=]/} pct=$((10#${BASH_REMATCH[3]// /})) bytes=$((10#${BASH_REMATCH[4]// /}))
        ((${#fill} == 25 * bytes / $3 && pct == 100 * bytes / $3)) || fail "$2: bar and figures disagree: '$line'"
        ((bytes > last)) || fail "$2: bytes do not grow: '$line'"
        ((states++ == 0 && bytes != 0)) && fail "$2: first state is not 0%: '$line'"
        last=$bytes
    done < <(tr '\r' '\n' <"$1")
    ((states >= $4)) || fail "$2: $states states"
    ((last == $3)) || fail "$2: ends at $last bytes"
    grep -q "^$2 done\.\$" "$1" || fail "$2: no '$2 done.'"
    # The states follow one another on one line: "\r" before each, the line ends after the full bar.
    grep -q $'\r'"$2"$'\t\\[' "$1" || fail "$2: no carriage return"
}
setup outdated
knob $SERIAL "reappear_ms=0"
sim download_FW -d 0483 -a 0 -s 0x08000000:leave -D "$WORK/firmware.bin" >"$WORK/out" 2>/dev/null
check "download" test $? -eq 0
check_bars "$WORK/out" "Erase   " $IMAGE_SIZE 2
check_bars "$WORK/out" Download $IMAGE_SIZE 2
check "done lines as the tool prints them" test "$(grep -c '^Erase    done\.$\|^Download done\.$' "$WORK/out")" -eq 2
rm -f "$WORK/flash.bin"
# Without --fast-progress the bar moves in steps (20 KiB: 0.18 s).
bash "$SIM" --dfu-util-command upload_FW -d 0483 -a 0 -s 0x08000000:20480 -U "$WORK/flash.bin" >"$WORK/out" 2>/dev/null
check "paced read" test $? -eq 0
check_bars "$WORK/out" Upload 20480 5
rm -f "$WORK/flash.bin"
sim upload_FW -d 0483 -a 0 -s 0x080FF000:8192 -U "$WORK/flash.bin" >"$WORK/out" 2>/dev/null
check "read past the end fails" test $? -eq 74
check "the bar stops where the memory ends" test "$(tr '\r' '\n' <"$WORK/out" | tail -1)" == $'Upload\t[============             ]  50%         4096 bytes'
check "and is not done" test -z "$(grep 'Upload done' "$WORK/out")"

if ((FAILS)); then
    printf '%d check(s) failed\n' "$FAILS" >&2
    exit 1
fi
printf 'all simulator checks passed\n'
