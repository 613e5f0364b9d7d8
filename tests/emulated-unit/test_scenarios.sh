#!/bin/bash
# One scenario, run either way: each prepared configuration of the simulator script is laid out once,
# then the simulated tool and the real dfu-util on the emulated unit must agree on the listing and on
# what the OTP and flash-information reads give (or that they fail). The download scenarios run the
# real tool's download and read-back.
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

failures=0
current=""
fail() {
    echo "FAIL [$current]: $*" >&2
    failures=$((failures + 1))
}

# real UNITS ARG... / sim UNITS WORD ARG...: run either way; set rc and out (standard output).
real() {
    local units="$1"
    shift
    out="$("$fixture" "$units" -- "$dfu_util" "$@" 2>"$work/err" | tr '\r' '\n')"
    rc=${PIPESTATUS[0]}
}
sim() {
    local units="$1" word="$2"
    shift 2
    out="$(VELTARO_UNITS_DIR="$units" "$simulator" --dfu-util-command "$word" --fast-progress "$@" 2>"$work/err")"
    rc=$?
}
# The listing lines without the USB path, which the two describe differently.
listing() { grep '^Found DFU: ' <<<"$out" | sed 's/ path="[^"]*",//'; }
ok() { [ "$1" = 0 ] && echo ok || echo failed; }

# read_both UNITS LABEL ARG...: the same read either way; the outcomes and the files must agree.
read_both() {
    local units="$1" label="$2"
    shift 2
    rm -f "$work/real.$label" "$work/sim.$label"
    real "$units" -d 0483 "$@" -U "$work/real.$label"
    local real_rc=$rc
    sim "$units" "$([ "$label" = otp ] && echo upload_OTP || echo upload_FW)" -d 0483 "$@" -U "$work/sim.$label"
    local sim_rc=$rc
    if [ "$(ok $real_rc)" != "$(ok $sim_rc)" ]; then
        fail "$label read: real exit $real_rc, simulated exit $sim_rc"
    elif [ "$real_rc" = 0 ] && ! cmp -s "$work/real.$label" "$work/sim.$label"; then
        fail "$label read: the files differ"
    fi
    last_read_rc=$real_rc
}

for scenario in outdated current corrupt blank_otp other_product unknown_type no_unit two_units unreadable \
    bad_listing download_fails vanishes_during_verify slow; do
    current="$scenario"
    echo "--- $scenario"
    u="$work/$scenario"
    VELTARO_UNITS_DIR="$u" "$simulator" --dfu-util-command setup_prepared_config "$scenario" >/dev/null ||
        {
            fail "setup failed"
            continue
        }
    real "$u" -d 0483 -l
    real_listing="$(listing)"
    sim "$u" list -d 0483 -l
    [ "$real_listing" = "$(listing)" ] || fail "listings differ:"$'\n'"$real_listing"$'\n'"--- simulated:"$'\n'"$(listing)"
    lines=$(grep -c . <<<"$real_listing")
    case $scenario in
    no_unit) [ "$lines" = 0 ] || fail "$lines lines" ;;
    two_units) [ "$lines" = 8 ] || fail "$lines lines" ;;
    bad_listing) [ "$lines" = 5 ] || fail "$lines lines" ;;
    *) [ "$lines" = 4 ] || fail "$lines lines" ;;
    esac
    case $scenario in no_unit | two_units) continue ;; esac

    read_both "$u" otp -a 2 -s 0x1FFF7800:512
    [ "$scenario" = unreadable ] && [ "$last_read_rc" = 0 ] && fail "OTP read succeeded"
    [ "$scenario" != unreadable ] && [ "$last_read_rc" != 0 ] && fail "OTP read failed"
    # The slow read of the flash information would take its 35 s; its knob is covered elsewhere.
    [ "$scenario" = slow ] && continue
    read_both "$u" info -a 0 -s 0x08000000:2048
    [ "$last_read_rc" = 0 ] || fail "flash information read failed"

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

if [ "$failures" -gt 0 ]; then
    echo "$failures failure(s)" >&2
    exit 1
fi
echo "all passed"
