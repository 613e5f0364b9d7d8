#!/usr/bin/env bash
# Stands in for dfu-util in simulator mode: imitates the tool for simulated
# STM32F4 units in USB DFU mode whose state lives in a directory (README.md).
#
#   dfu-util_simulator.sh --dfu-util-command WORD [--fast-progress] [dfu-util arguments...]
#
# `list` runs about every 500 ms for as long as the program is open, so the
# listing path starts no subprocess at all (bash builtins only).

set -u
shopt -s nullglob
export LC_ALL=C # C collation for the unit order, '.' in EPOCHREALTIME

readonly VID=0483 PID=df11
readonly FLASH_BASE=$((0x08000000)) FLASH_SIZE=1048576
readonly OTP_BASE=$((0x1FFF7800)) OTP_SIZE=512 OTP_LOCK_SIZE=16
readonly NEVER=99999999999999
readonly DEFAULT_SERIAL=3574364C3034 SECOND_SERIAL=3574364C3035
readonly KNOWN_KNOBS=" devnum reappear_ms never_returns otp_read_fails download_fails vanishes_during_verify slow_read_ms extra_listing_line no_status_after_leave upload_stall erase_fails "
readonly ALT_NAMES=(
    "@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg"
    "@Option Bytes  /0x1FFFC000/01*016 e"
    "@OTP Memory /0x1FFF7800/01*512 e,01*016 e"
    "@Device Feature/0xFFFF0000/01*004 e"
)
# Flash sectors of the F4 layout, in bytes.
readonly SECTORS=(16384 16384 16384 16384 65536 131072 131072 131072 131072 131072 131072 131072)

# Pace of a full-speed USB DFU bootloader, for the realistic mode.
readonly LIST_MS=120 OPEN_MS=80 UPLOAD_BYTES_PER_S=204800 DOWNLOAD_BYTES_PER_S=40960
readonly ERASE_16K_MS=250 ERASE_64K_MS=550 ERASE_128K_MS=1000

banner() {
    printf '%s\n' "dfu-util 0.9" "" \
        "Copyright 2005-2009 Weston Schmidt, Harald Welte and OpenMoko Inc." \
        "Copyright 2010-2016 Tormod Volden and Stefan Schmidt" \
        "This program is Free Software and has ABSOLUTELY NO WARRANTY" \
        "Please report bugs to http://sourceforge.net/p/dfu-util/tickets/" ""
}

# Messages the way dfu-util prints them (err/warn style on stderr).
die() { # code message
    printf 'dfu-util: %s\n' "$2" >&2
    exit "$1"
}
sim_die() { # code message; the simulator's own complaints
    printf 'dfu-util_simulator: %s\n' "$2" >&2
    exit "$1"
}

now_ms() { # sets NOW_MS without a subprocess
    local t=${EPOCHREALTIME:-}
    if [[ -n $t ]]; then
        t=${t//[!0-9]/}
        NOW_MS=$((10#$t / 1000))
    else
        NOW_MS=$(date +%s%3N)
    fi
}

pause_ms() { # ms [always]; a no-op with --fast-progress unless "always"
    local ms=$1
    ((ms <= 0)) && return 0
    [[ ${2:-} != always ]] && ((FAST)) && return 0
    sleep "$((ms / 1000)).$(printf '%03d' $((ms % 1000)))"
}

progress() { # label bytes total_ms; dfu-util's bar, spread over total_ms
    local label=$1 bytes=$2 ms=$3 steps=10 i bar
    if ((FAST || ms <= 0)); then
        steps=1
    fi
    for ((i = 1; i <= steps; i++)); do
        pause_ms $((ms / steps))
        bar="========================="
        bar=${bar:0:$((25 * i / steps))}
        printf '\r%s\t[%-25s] %3d%% %12d bytes' "$label" "$bar" $((100 * i / steps)) $((bytes * i / steps))
    done
    printf '\n%s done.\n' "$label"
}

# ---------------------------------------------------------------- state

state_dir() {
    if [[ -n ${VELTARO_UNITS_DIR:-} ]]; then
        STATE=$VELTARO_UNITS_DIR
        if [[ ! -d $STATE ]]; then
            mkdir -p "$STATE" || sim_die 70 "cannot create $STATE"
            chmod 0700 "$STATE"
        fi
    else
        STATE=${TMPDIR:-/tmp}/veltaro-units-$UID
        [[ -d $STATE ]] || mkdir -m 0700 "$STATE" 2>/dev/null
        # A directory in a shared place that someone else made is not ours to trust.
        [[ -d $STATE && -O $STATE && ! -L $STATE ]] || sim_die 70 "$STATE is not a directory owned by you"
    fi
    UNITS=$STATE/units
}

# Fills KNOB (all known keys, 0 when not set) from a unit's knobs file.
declare -A KNOB
load_knobs() { # unit_dir
    local f=$1/knobs line key val k
    for k in $KNOWN_KNOBS; do KNOB[$k]=0; done
    KNOB[reappear_ms]=2000
    KNOB[devnum]=-1
    [[ -f $f ]] || return 0
    while IFS= read -r line || [[ -n $line ]]; do
        line=${line%$'\r'}
        [[ $line =~ ^[[:space:]]*(#.*)?$ ]] && continue
        if [[ ! $line =~ ^[[:space:]]*([A-Za-z0-9_]+)[[:space:]]*=[[:space:]]*([^[:space:]]*)[[:space:]]*$ ]]; then
            sim_die 78 "malformed knob line '$line' in $f"
        fi
        key=${BASH_REMATCH[1]} val=${BASH_REMATCH[2]}
        [[ $KNOWN_KNOBS == *" $key "* ]] || sim_die 78 "unknown knob $key in $f"
        [[ $val =~ ^[0-9]{1,15}$ ]] || sim_die 78 "knob $key in $f needs a decimal value, got '$val'"
        KNOB[$key]=$((10#$val))
    done <"$f"
}

drop_knob() { # unit_dir key; removes the key's lines, keeps everything else
    local f=$1/knobs line kept=()
    [[ -f $f ]] || return 0
    while IFS= read -r line || [[ -n $line ]]; do
        [[ $line =~ ^[[:space:]]*$2[[:space:]]*= ]] || kept+=("$line")
    done <"$f"
    if ((${#kept[@]})); then printf '%s\n' "${kept[@]}" >"$f.tmp.$$"; else : >"$f.tmp.$$"; fi
    mv -f "$f.tmp.$$" "$f"
}

is_present() { # unit_dir
    local until=0
    if [[ -f $1/absent_until ]]; then
        read -r until <"$1/absent_until" || true
        [[ $until =~ ^[0-9]{1,15}$ ]] || sim_die 78 "bad value in $1/absent_until"
    fi
    ((NOW_MS >= 10#$until))
}

leave_dfu_mode() { # unit_dir; the unit starts its application and drops off the bus
    local until
    if ((KNOB[never_returns])); then until=$NEVER; else until=$((NOW_MS + KNOB[reappear_ms])); fi
    printf '%s\n' "$until" >"$1/absent_until"
}

# Selects the DFU interfaces that dfu-util's filters (-d, -S, -a) leave over;
# sets UNIT_DIR to the one unit and ALT to its alt setting, or exits like the tool.
select_interface() {
    local d serial matches=0 alt
    now_ms
    UNIT_DIR=
    if vendor_matches; then
        for d in "$UNITS"/*/; do
            d=${d%/}
            serial=${d##*/}
            [[ -n $OPT_SERIAL && $OPT_SERIAL != "$serial" ]] && continue
            is_present "$d" || continue
            for alt in 0 1 2 3; do
                if [[ -z $OPT_ALT || $OPT_ALT == "$alt" || $OPT_ALT == "${ALT_NAMES[alt]}" ]]; then
                    matches=$((matches + 1))
                    UNIT_DIR=$d ALT=$alt
                fi
            done
        done
    fi
    ((matches == 0)) && die 74 "No DFU capable USB device available"
    ((matches > 1)) && die 74 "More than one DFU capable USB device found! Try \`--list' and specify the serial number or disconnect all but one device"
    load_knobs "$UNIT_DIR"
}

vendor_matches() { # -d vendor[:product][,...]
    [[ -z $OPT_DEVICE ]] && return 0
    local want=${OPT_DEVICE%%,*} v p
    v=${want%%:*}
    p=
    [[ $want == *:* ]] && p=${want#*:}
    [[ ( -z $v || $v == "*" || ${v,,} == "$VID" ) && ( -z $p || $p == "*" || ${p,,} == "$PID" ) ]]
}

# ---------------------------------------------------------------- listing

cmd_list() {
    local d serial i=0 devnum out="" alt path
    now_ms
    banner
    if vendor_matches; then
        for d in "$UNITS"/*/; do
            d=${d%/}
            serial=${d##*/}
            i=$((i + 1))
            is_present "$d" || continue
            load_knobs "$d"
            devnum=$((KNOB[devnum] >= 0 ? KNOB[devnum] : 6 + i))
            path="1-$i"
            if ((KNOB[extra_listing_line])); then
                out+="Found DFU: [$VID:$PID] ver=2200, devnum=$devnum, cfg=1, intf=0, path=\"$path\", alt=4, name=\"@Reserved /0x00000000/01*001 e\", serial=\"$serial\""$'\n'
            fi
            for alt in 3 2 1 0; do
                out+="Found DFU: [$VID:$PID] ver=2200, devnum=$devnum, cfg=1, intf=0, path=\"$path\", alt=$alt, name=\"${ALT_NAMES[alt]}\", serial=\"$serial\""$'\n'
            done
        done
    fi
    pause_ms $LIST_MS
    printf '%s' "$out"
    exit 0
}

# ---------------------------------------------------------------- reads

parse_number() { # text -> NUM, like strtoul(..., 0); fails on anything else
    [[ $1 =~ ^(0[xX][0-9a-fA-F]{1,8}|[1-9][0-9]{0,9}|0[0-7]*)$ ]] || return 1
    NUM=$(($1))
}

# Splits "-s address[:modifier...]" into ADDR, LENGTH (empty when none), LEAVE.
parse_dfuse() {
    local text=$1 m
    local IFS=:
    local -a parts
    read -r -a parts <<<"$text"
    LENGTH='' LEAVE=0
    parse_number "${parts[0]:-}" || die 64 "Invalid dfuse address: ${parts[0]:-}"
    ADDR=$NUM
    for m in "${parts[@]:1}"; do
        case $m in
        leave) LEAVE=1 ;;
        force | will-reset | unprotect | mass-erase) ;;
        *)
            parse_number "$m" || die 64 "Invalid dfuse modifier: $m"
            LENGTH=$NUM
            ;;
        esac
    done
}

cmd_upload() {
    local file=$OPT_UPLOAD src base size end avail
    [[ -n $OPT_DFUSE ]] || die 64 "Unbound upload not supported on DfuSe devices"
    select_interface
    # dfu-util creates the file exclusively before it reads anything.
    if [[ -e $file || -L $file ]]; then
        die 73 "Cannot open file $file for writing: File exists"
    fi
    (set -o noclobber && : >"$file") 2>/dev/null || die 73 "Cannot open file $file for writing: Permission denied"
    parse_dfuse "$OPT_DFUSE"
    pause_ms $OPEN_MS

    case $ALT in
    0) src=$UNIT_DIR/flash.bin base=$FLASH_BASE size=$FLASH_SIZE ;;
    2) src=$UNIT_DIR/otp.bin base=$OTP_BASE size=$((OTP_SIZE + OTP_LOCK_SIZE)) ;;
    *) die 74 "Error during upload (LIBUSB_ERROR_PIPE): alt $ALT is not simulated" ;;
    esac
    if ((ADDR < base || ADDR >= base + size)); then
        die 74 "Error during special command \"SET_ADDRESS\" get_status"
    fi
    if [[ -z $LENGTH || $LENGTH == 0 ]]; then
        LENGTH=$((base + size - ADDR))
        ((ALT == 2 && ADDR < base + OTP_SIZE)) && LENGTH=$((base + OTP_SIZE - ADDR))
        printf 'Limiting upload to end of memory segment, %i bytes\n' "$LENGTH"
    fi

    if ((ALT == 2 && KNOB[otp_read_fails])); then
        die 74 "Error during upload (LIBUSB_ERROR_PIPE)"
    fi
    if ((ALT == 0 && KNOB[upload_stall])); then
        die 74 "Error during upload (LIBUSB_ERROR_PIPE)"
    fi
    if ((ALT == 0 && KNOB[vanishes_during_verify] && LENGTH > 2048)); then
        printf '%s\n' "$NEVER" >"$UNIT_DIR/absent_until"
        die 74 "Error during upload (LIBUSB_ERROR_NO_DEVICE)"
    fi
    if ((ALT == 0 && KNOB[slow_read_ms] && ADDR == FLASH_BASE && LENGTH == 2048)); then
        local slow=${KNOB[slow_read_ms]}
        drop_knob "$UNIT_DIR" slow_read_ms # once: taken before the wait
        pause_ms "$slow" always
    fi

    end=$((ADDR + LENGTH))
    avail=$LENGTH
    ((end > base + size)) && avail=$((base + size - ADDR))
    if ((ALT == 0)); then
        dd if="$src" bs=65536 iflag=skip_bytes,count_bytes skip=$((ADDR - base)) count="$avail" status=none >>"$file"
    else
        local lock=$UNIT_DIR/otp_lock.bin
        { cat "$src"; if [[ -f $lock ]]; then cat "$lock"; else printf '\377%.0s' {1..16}; fi; } |
            dd bs=4096 iflag=skip_bytes,count_bytes,fullblock skip=$((ADDR - base)) count="$avail" status=none >>"$file"
    fi
    progress Upload "$avail" $((avail * 1000 / UPLOAD_BYTES_PER_S))
    # Past the end of the memory the bootloader stalls the request.
    ((avail < LENGTH)) && die 74 "Error during upload (LIBUSB_ERROR_PIPE)"
    exit 0
}

# ---------------------------------------------------------------- download

cmd_download() {
    local image=$OPT_DOWNLOAD size off first=-1 i s start=0 erase_ms=0 erase_end=0 erase_start=0 written
    [[ -f $image && -r $image ]] || die 66 "Could not open file $image for reading: No such file or directory"
    size=$(stat -c %s -- "$image") || die 66 "Could not open file $image for reading"
    printf 'Invalid DFU suffix signature\nA valid DFU suffix will be required in a future dfu-util release\n' >&2
    select_interface
    [[ -n $OPT_DFUSE ]] || die 64 "Raw download needs a DfuSe address (-s)"
    parse_dfuse "$OPT_DFUSE"
    ((ALT == 0)) || die 74 "Error during download (LIBUSB_ERROR_PIPE): alt $ALT is not simulated"
    pause_ms $OPEN_MS
    off=$((ADDR - FLASH_BASE))
    if ((off < 0 || off + size > FLASH_SIZE)); then
        die 74 "Last page at 0x$(printf '%08x' $((ADDR + size - 1))) is not writeable"
    fi
    printf 'Downloading element to address = 0x%08x, size = %d\n' "$ADDR" "$size"

    # Whole sectors touched by [off, off + size) are erased.
    for ((i = 0; i < ${#SECTORS[@]}; i++)); do
        s=${SECTORS[i]}
        if ((size > 0 && start < off + size && start + s > off)); then
            ((first < 0)) && first=$i erase_start=$start
            erase_end=$((start + s))
            case $s in 16384) erase_ms=$((erase_ms + ERASE_16K_MS)) ;; 65536) erase_ms=$((erase_ms + ERASE_64K_MS)) ;; *) erase_ms=$((erase_ms + ERASE_128K_MS)) ;; esac
        fi
        start=$((start + s))
    done
    local flash=$UNIT_DIR/flash.bin
    if ((KNOB[erase_fails])); then
        die 74 "Error during special command \"ERASE_PAGE\" get_status"
    fi
    if ((erase_end > erase_start)); then
        head -c $((erase_end - erase_start)) /dev/zero | tr '\0' '\377' |
            dd of="$flash" bs=65536 iflag=fullblock seek=$erase_start oflag=seek_bytes conv=notrunc status=none
    fi
    progress Erase "$size" "$erase_ms"

    written=$size
    # A failing download stops halfway, on a 2048-byte chunk boundary.
    ((KNOB[download_fails])) && written=$((size / 2 / 2048 * 2048))
    if ((written > 0)); then
        head -c "$written" -- "$image" |
            dd of="$flash" bs=65536 iflag=fullblock seek=$off oflag=seek_bytes conv=notrunc status=none
    fi
    progress Download "$written" $((written * 1000 / DOWNLOAD_BYTES_PER_S))
    ((KNOB[download_fails])) && die 74 "Error during download (LIBUSB_ERROR_PIPE)"
    printf 'File downloaded successfully\n'

    if ((LEAVE)); then
        printf 'Submitting leave request...\n'
        now_ms
        leave_dfu_mode "$UNIT_DIR"
        ((KNOB[no_status_after_leave])) && die 74 "Error during download get_status"
        printf 'Transitioning to dfuMANIFEST state\n'
    fi
    exit 0
}

# ---------------------------------------------------------------- prepared scenarios
# Written from scratch by these helpers only, so that they do not depend on the
# imitation above (the emulated unit's tests lay out the same scenarios).

byte() { # value; one raw byte
    local fmt
    printf -v fmt '\\%03o' "$1"
    # shellcheck disable=SC2059 # an octal escape is the point
    printf "$fmt"
}
zeros() { head -c "$1" /dev/zero; }
ffs() { head -c "$1" /dev/zero | tr '\0' '\377'; }

text_field() { # text; 32 bytes, NUL padded
    printf '%s' "$1"
    zeros $((32 - ${#1}))
}

info_block() { # type_byte name revision key value ...
    local type=$1 name=$2 rev=$3
    shift 3
    printf '\x12\x47\x23\x01'
    byte "$type"
    ffs 3
    text_field "$name"
    text_field "$rev"
    while (($# >= 2)); do
        text_field "$1"
        text_field "$2"
        shift 2
    done
    printf '\x13\x47\x23\x01'
}

# A plausible application image: vector table, information block at 428, code.
fw_image() { # dest size type_byte name revision pairs...
    local dest=$1 size=$2
    shift 2
    {
        printf '\x00\x00\x02\x20\xc1\x01\x00\x08'
        yes 'veltaro application code ' | head -c 420
        info_block "$@"
    } >"$dest"
    local have
    have=$(stat -c %s "$dest")
    yes "$2 $3 " | head -c $((size - have)) >>"$dest"
}

otp_area() { # out type_byte|blank
    if [[ $2 == blank ]]; then
        ffs 512 >"$1"
        return
    fi
    {
        printf '\x11\x47\x23\x01'
        byte "$2"
        ffs 3
        printf '\x24\x05\x17\x00\x2a\x00\x01\x00' # manufacturing data, not interpreted
        ffs 496
    } >"$1"
}

flash_with() { # unit_dir image; 1 MiB with the image at the start, the rest erased
    ffs $FLASH_SIZE >"$1/flash.bin"
    dd if="$2" of="$1/flash.bin" bs=65536 conv=notrunc status=none
}

desired_firmware() {
    local fw=${VELTARO_SIM_FIRMWARE:-}
    if [[ -z $fw ]]; then
        local here=${BASH_SOURCE[0]%/*}
        [[ $here == "${BASH_SOURCE[0]}" ]] && here=.
        fw=$here/../build/software/resources/firmware.bin
    fi
    [[ -f $fw && -s $fw ]] || sim_die 66 "desired firmware image $fw not found (set VELTARO_SIM_FIRMWARE)"
    DESIRED=$fw
}

unit() { # units_dir serial otp_type|blank flash_kind [knob=value...]
    local dir=$1/$2 otp=$3 kind=$4 tmp
    shift 4
    mkdir -p "$dir"
    otp_area "$dir/otp.bin" "$otp"
    tmp=$dir/image.tmp
    case $kind in
    outdated)
        fw_image "$tmp" 98304 4 "Lx-50 application" "2.3.1" build_date 2025-06-02 build_host ci-runner-02 \
            compiler "arm-none-eabi-gcc 12.2.1" source_rev 7d03be51 board "LX50-MAIN rev C" bootloader 1.3 \
            build_type release flash_layout app@0x08000000 protocol 3
        flash_with "$dir" "$tmp"
        ;;
    other)
        fw_image "$tmp" 65536 43 "K7 application" "1.2.0" build_date 2025-01-17 board "K7-MAIN rev B" protocol 2
        flash_with "$dir" "$tmp"
        ;;
    current | corrupt)
        flash_with "$dir" "$DESIRED"
        if [[ $kind == corrupt ]]; then
            # One byte in the middle of the image, well past the information block.
            local size pos value
            size=$(stat -c %s "$DESIRED")
            pos=$((size / 2 > 2048 ? size / 2 : size - 1))
            value=$(od -An -tu1 -j "$pos" -N1 "$dir/flash.bin")
            byte $((value ^ 0x5A)) |
                dd of="$dir/flash.bin" bs=1 seek="$pos" conv=notrunc status=none
        fi
        ;;
    esac
    rm -f "$tmp"
    if (($#)); then printf '%s\n' "$@" >"$dir/knobs"; fi
}

# Writes scenario NAME into a fresh units directory and swaps it in whole.
setup_scenario() { # name [initial]; "initial" keeps a units directory that appeared meanwhile
    local name=$1 new=$STATE/units.new.$$ old=$STATE/units.old.$$ S=$DEFAULT_SERIAL
    case $name in
    current | corrupt | vanishes_during_verify) desired_firmware ;;
    outdated | blank_otp | other_product | unknown_type | no_unit | two_units | unreadable | \
        bad_listing | download_fails | slow) ;;
    *) sim_die 2 "unknown prepared configuration '$name'" ;;
    esac
    rm -rf "$new"
    mkdir -p "$new" || sim_die 70 "cannot write $new"
    case $name in
    outdated) unit "$new" $S 4 outdated ;;
    current) unit "$new" $S 4 current ;;
    corrupt) unit "$new" $S 4 corrupt ;;
    blank_otp) unit "$new" $S blank outdated ;;
    other_product) unit "$new" $S 43 other ;;
    unknown_type) unit "$new" $S 7 outdated ;;
    no_unit) ;;
    two_units) unit "$new" $S 4 outdated && unit "$new" $SECOND_SERIAL 4 outdated ;;
    unreadable) unit "$new" $S 4 outdated otp_read_fails=1 ;;
    bad_listing) unit "$new" $S 4 outdated extra_listing_line=1 ;;
    download_fails) unit "$new" $S 4 outdated download_fails=1 ;;
    vanishes_during_verify) unit "$new" $S 4 current vanishes_during_verify=1 ;;
    slow) unit "$new" $S 4 outdated slow_read_ms=35000 ;;
    esac
    # -T: never move one directory into the other when a second run swaps at the same time.
    [[ -z ${2:-} && -e $UNITS ]] && mv -T "$UNITS" "$old" 2>/dev/null
    mv -T "$new" "$UNITS" 2>/dev/null || { rm -rf "$new" "$old"; [[ -d $UNITS ]] || sim_die 70 "cannot write $UNITS"; }
    rm -rf "$old"
}

# ---------------------------------------------------------------- command line

WORD='' FAST=0
OPT_DEVICE='' OPT_ALT='' OPT_DFUSE='' OPT_UPLOAD='' OPT_DOWNLOAD='' OPT_SERIAL='' OPT_LIST=0 OPT_VERSION=0

usage_error() {
    printf 'dfu-util: %s\nUsage: dfu-util [options] ...\n' "$1" >&2
    exit 64
}

parse_dfu_util_args() {
    while (($#)); do
        case $1 in
        -d | --device | -a | --alt | -s | --dfuse-address | -U | --upload | -D | --download | -S | --serial | \
            -p | --path | -n | --devnum | -c | --cfg | -i | --intf | -t | --transfer-size | -Z | --upload-size | -E | --detach-delay)
            (($# >= 2)) || usage_error "option requires an argument -- '${1#-}'"
            case $1 in
            -d | --device) OPT_DEVICE=$2 ;;
            -a | --alt) OPT_ALT=$2 ;;
            -s | --dfuse-address) OPT_DFUSE=$2 ;;
            -U | --upload) OPT_UPLOAD=$2 ;;
            -D | --download) OPT_DOWNLOAD=$2 ;;
            -S | --serial) OPT_SERIAL=${2%%,*} ;;
            esac
            shift 2
            ;;
        -l | --list)
            OPT_LIST=1
            shift
            ;;
        -V | --version)
            OPT_VERSION=1
            shift
            ;;
        -v | --verbose | -R | --reset | -w | --wait | -e | --detach) shift ;;
        *) usage_error "invalid option -- '${1#-}'" ;;
        esac
    done
}

main() {
    [[ ${1:-} == --dfu-util-command && $# -ge 2 ]] || sim_die 64 "usage: ${0##*/} --dfu-util-command WORD [--fast-progress] [dfu-util arguments...]"
    WORD=$2
    shift 2
    if [[ ${1:-} == --fast-progress ]]; then
        FAST=1
        shift
    fi

    case $WORD in
    list | version | upload_OTP | upload_FW | download_FW | setup_prepared_config) ;;
    *) sim_die 64 "unknown command word '$WORD'" ;;
    esac

    if [[ $WORD == setup_prepared_config ]]; then
        (($# == 1)) || sim_die 64 "setup_prepared_config takes one configuration name"
        state_dir
        setup_scenario "$1"
        printf 'Prepared configuration %s in %s\n' "$1" "$UNITS"
        exit 0
    fi

    parse_dfu_util_args "$@"
    if [[ $WORD == version ]] || ((OPT_VERSION)); then
        banner
        exit 0
    fi

    state_dir
    # A fresh state directory gets the outdated unit; not while a set-up swaps units (units.old.*).
    local swapping=("$STATE"/units.old.*)
    [[ -d $UNITS || ${#swapping[@]} -gt 0 ]] || setup_scenario outdated initial >/dev/null

    case $WORD in
    list)
        ((OPT_LIST)) || sim_die 64 "list needs -l"
        cmd_list
        ;;
    upload_OTP | upload_FW)
        [[ -n $OPT_UPLOAD && -z $OPT_DOWNLOAD ]] || sim_die 64 "$WORD needs -U FILE"
        banner
        cmd_upload
        ;;
    download_FW)
        [[ -n $OPT_DOWNLOAD && -z $OPT_UPLOAD ]] || sim_die 64 "$WORD needs -D FILE"
        banner
        cmd_download
        ;;
    esac
}

main "$@"
