#!/bin/bash
# One scenario, run either way: each prepared configuration of the simulator script is laid out once,
# then the simulated tool and the real dfu-util on the emulated unit must agree on the listing and on
# what the OTP and flash-information reads give: exit code, standard error, standard output (the banner
# and the USB path aside, each progress bar reduced to its first and last state) and the bytes read.
# Downloads run either way on copies of a scenario; the download scenarios also run the real tool's
# download and read-back. Then the knobs that touch a listing (list_fails_once) and -S.
#   test_scenarios.sh FIXTURE DFU_UTIL SIMULATOR_SCRIPT
set -uo pipefail

fixture="$1"
dfu_util="$2"
simulator="$3"
work="$(mktemp -d "${TMPDIR:-/tmp}/emulated-unit-scenarios.XXXXXX")"
trap 'rm -rf "$work"' EXIT
export VELTARO_UNIT_TIMING=fast
# The desired image for the scenarios that hold it (current, corrupt, vanishes_during_verify).
{ printf '\x55\xAA'; head -c 131070 /dev/urandom; } >"$work/firmware.bin"
export VELTARO_SIM_FIRMWARE="$work/firmware.bin"

# shellcheck source=cases.sh
source "$(dirname "${BASH_SOURCE[0]}")/cases.sh"

# real UNITS ARG... / sim UNITS WORD ARG...: run either way; set rc, out (standard output as shown:
# see shown) and err (standard error).
real() {
    local units="$1"
    shift
    "$fixture" "$units" -- "$dfu_util" "$@" >"$work/out" 2>"$work/err"
    rc=$?
    out="$(shown "$work/out")"
    err="$(cat "$work/err")"
}
sim() {
    local units="$1" word="$2"
    shift 2
    VELTARO_UNITS_DIR="$units" "$simulator" --dfu-util-command "$word" --fast-progress "$@" >"$work/out" 2>"$work/err"
    rc=$?
    out="$(shown "$work/out")"
    err="$(cat "$work/err")"
}
# shown FILE: standard output without the banner (dfu-util 0.11 there, 0.9 in the script) and the
# USB path, which the two describe differently; each bar ("\r" before every state) reduced to its
# first and last state, since the real tool shows one state per 2048-byte block.
shown() {
    tail -n +8 "$1" | sed 's/ path="[^"]*",//' | tr '\r' '\n' | awk '
        /^(Erase   |Download|Upload)\t\[/ { if (run == 0) print; run++; last = $0; next }
        run > 1 { print last }
        { run = 0; print }
        END { if (run > 1) print last }'
}
listing() { grep '^Found DFU: ' <<<"$out"; }
ok() { [ "$1" = 0 ] && echo yes || echo no; }

# agree WHAT: the run either way (real first, then sim) gave the same exit code and output.
agree() {
    [ "$real_rc" = "$rc" ] || fail "$1: real exit $real_rc, simulated exit $rc"
    [ "$real_err" = "$err" ] || fail "$1: standard error differs:"$'\n'"$real_err"$'\n'"--- simulated:"$'\n'"$err"
    [ "$real_out" = "$out" ] || fail "$1: standard output differs:"$'\n'"$real_out"$'\n'"--- simulated:"$'\n'"$out"
}
keep_real() { real_rc=$rc real_out=$out real_err=$err; }

# read_both UNITS LABEL ARG...: the same read either way; the outcomes and the files must agree.
read_both() {
    local units="$1" label="$2"
    shift 2
    rm -f "$work/real.$label" "$work/sim.$label"
    real "$units" -d 0483 "$@" -U "$work/real.$label"
    keep_real
    sim "$units" "$([ "$label" = otp ] && echo upload_OTP || echo upload_FW)" -d 0483 "$@" -U "$work/sim.$label"
    agree "$label read"
    if [ -e "$work/real.$label" ] && [ -e "$work/sim.$label" ]; then
        cmp -s "$work/real.$label" "$work/sim.$label" || fail "$label read: the files differ"
    elif [ -e "$work/real.$label" ] || [ -e "$work/sim.$label" ]; then
        fail "$label read: the target file is left one way only"
    fi
    last_read_rc=$real_rc
}

# download_both UNITS: the program's download either way, each on its own copy of the units; the
# outcomes and the flash afterwards must agree.
download_both() {
    rm -rf "$work/dl-real" "$work/dl-sim"
    cp -a "$1" "$work/dl-real" && cp -a "$1" "$work/dl-sim"
    real "$work/dl-real" -d 0483 -a 0 -s 0x08000000:leave -D "$work/firmware.bin"
    keep_real
    sim "$work/dl-sim" download_FW -d 0483 -a 0 -s 0x08000000:leave -D "$work/firmware.bin"
    agree "download"
    local f
    for f in "$work"/dl-real/units/*/flash.bin; do
        cmp -s "$f" "$work/dl-sim/units/${f#"$work"/dl-real/units/}" || fail "download: ${f#"$work"/} differs"
    done
    last_download_rc=$real_rc
}

for scenario in outdated current corrupt blank_otp other_product unknown_type no_unit two_units unreadable \
    bad_listing download_fails vanishes_during_verify slow access_denied busy; do
    current="$scenario"
    echo "--- $scenario"
    u="$work/$scenario"
    VELTARO_UNITS_DIR="$u" "$simulator" --dfu-util-command setup_prepared_config "$scenario" >/dev/null ||
        {
            fail "setup failed"
            continue
        }
    real "$u" -d 0483 -l
    keep_real
    sim "$u" list -d 0483 -l
    agree "listing"
    lines=$(listing | grep -c .)
    case $scenario in
    no_unit | access_denied) [ "$lines" = 0 ] || fail "$lines lines" ;;
    two_units) [ "$lines" = 8 ] || fail "$lines lines" ;;
    bad_listing) [ "$lines" = 5 ] || fail "$lines lines" ;;
    *) [ "$lines" = 4 ] || fail "$lines lines" ;;
    esac
    case $scenario in no_unit | two_units) continue ;; esac

    case $scenario in unreadable | access_denied | busy) otp_reads=no ;; *) otp_reads=yes ;; esac
    case $scenario in access_denied | busy) info_reads=no ;; *) info_reads=yes ;; esac
    read_both "$u" otp -a 2 -s 0x1FFF7800:512
    [ "$(ok $last_read_rc)" = "$otp_reads" ] || fail "OTP read: exit $last_read_rc"
    # The slow read of the flash information would take its 35 s; its knob is covered elsewhere.
    [ "$scenario" = slow ] && continue
    read_both "$u" info -a 0 -s 0x08000000:2048
    [ "$(ok $last_read_rc)" = "$info_reads" ] || fail "flash information read: exit $last_read_rc"
    case $scenario in
    outdated | access_denied | busy)
        download_both "$u"
        [ "$(ok $last_download_rc)" = "$info_reads" ] || fail "download: exit $last_download_rc"
        ;;
    esac

    serial=3574364C3034
    case $scenario in
    outdated)
        echo "reappear_ms=200" >"$u/units/$serial/knobs"
        real "$u" -d 0483 -a 0 -s 0x08000000:leave -D "$work/firmware.bin"
        [ "$rc" = 0 ] || fail "download exit $rc"
        for i in $(seq 1 300); do
            real "$u" -d 0483 -l
            [ -n "$(listing)" ] && break
            sleep 0.1
        done
        rm -f "$work/readback"
        real "$u" -d 0483 -a 0 -s 0x08000000:131072 -U "$work/readback"
        cmp -s "$work/readback" "$work/firmware.bin" || fail "read-back after download differs"
        ;;
    corrupt)
        rm -f "$work/readback"
        real "$u" -d 0483 -a 0 -s 0x08000000:131072 -U "$work/readback"
        [ "$rc" = 0 ] || fail "read-back exit $rc"
        cmp -s "$work/readback" "$work/firmware.bin" && fail "corrupt unit reads back the desired image"
        ;;
    current)
        rm -f "$work/readback"
        real "$u" -d 0483 -a 0 -s 0x08000000:131072 -U "$work/readback"
        cmp -s "$work/readback" "$work/firmware.bin" || fail "current unit does not hold the desired image"
        ;;
    download_fails)
        real "$u" -d 0483 -a 0 -s 0x08000000:leave -D "$work/firmware.bin"
        [ "$rc" != 0 ] || fail "download succeeded"
        rm -f "$work/readback"
        real "$u" -d 0483 -a 0 -s 0x08000000:131072 -U "$work/readback"
        cmp -s "$work/readback" "$work/firmware.bin" && fail "the failed download left the whole image"
        ;;
    vanishes_during_verify)
        rm -f "$work/readback"
        real "$u" -d 0483 -a 0 -s 0x08000000:131072 -U "$work/readback"
        [ "$rc" != 0 ] || fail "read-back succeeded"
        real "$u" -d 0483 -l
        [ -z "$(listing)" ] || fail "still listed"
        ;;
    esac
done

current=list_fails_once
echo "--- $current"
# The glitch either way on a copy of its own: the failing listing, then a whole one.
u="$work/glitch"
VELTARO_UNITS_DIR="$u" "$simulator" --dfu-util-command setup_prepared_config outdated >/dev/null
printf 'list_fails_once=1\ndevnum=9\n' >"$u/units/3574364C3034/knobs"
cp -a "$u" "$work/glitch-sim"
for attempt in failing whole; do
    real "$u" -d 0483 -l
    keep_real
    sim "$work/glitch-sim" list -d 0483 -l
    agree "$attempt listing"
    [ "$(ok $real_rc)" = "$([ $attempt = whole ] && echo yes || echo no)" ] || fail "$attempt listing: exit $real_rc"
done
[ "$(cat "$u/units/3574364C3034/knobs")" = "$(cat "$work/glitch-sim/units/3574364C3034/knobs")" ] ||
    fail "knobs left differ"

current=serial
echo "--- $current"
# -S with two units (the second one's OTP area made different), and with a serial nobody has.
u="$work/serials"
VELTARO_UNITS_DIR="$u" "$simulator" --dfu-util-command setup_prepared_config two_units >/dev/null
printf '\x2a' | dd of="$u/units/3574364C3035/otp.bin" bs=1 seek=100 conv=notrunc status=none
for given in 3574364C3034 3574364C3035 x,3574364C3035 3574364C3036; do
    read_both "$u" otp -S "$given" -a 2 -s 0x1FFF7800:512
    real "$u" -d 0483 -S "$given" -l
    keep_real
    sim "$u" list -d 0483 -S "$given" -l
    agree "listing -S $given"
done
rm -f "$work/real.otp"
real "$u" -d 0483 -S 3574364C3035 -a 2 -s 0x1FFF7800:512 -U "$work/real.otp"
cmp -s "$work/real.otp" "$u/units/3574364C3035/otp.bin" || fail "-S did not pick the second unit"

finish
