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
readonly STALLED_UPLOAD="dfuse_upload: libusb_control_transfer returned -9 (LIBUSB_ERROR_PIPE)"
readonly DEFAULT_SERIAL=3574364C3034 SECOND_SERIAL=3574364C3035
readonly KNOWN_KNOBS=" devnum reappear_ms never_returns otp_read_fails download_fails vanishes_during_verify slow_read_ms extra_listing_line no_status_after_leave upload_stall erase_fails access_denied busy list_fails_once "
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

# Waits on a FIFO that nobody writes to: `read -t` sleeps without starting a process (`sleep` would
# start one on every poll). The FIFO is made once per state directory.
PACE_FD=''
pause_ms() { # ms [always]; a no-op with --fast-progress unless "always"
    local ms=$1 secs _
    ((ms <= 0)) && return 0
    [[ ${2:-} != always ]] && ((FAST)) && return 0
    printf -v secs '%d.%03d' $((ms / 1000)) $((ms % 1000))
    if [[ -z $PACE_FD ]]; then
        [[ -p $STATE/.pace ]] || mkfifo -m 0600 "$STATE/.pace" 2>/dev/null
        PACE_FD=none
        [[ -p $STATE/.pace ]] && exec {PACE_FD}<>"$STATE/.pace"
    fi
    if [[ $PACE_FD == none ]]; then
        sleep "$secs"
    else
        read -r -t "$secs" -u "$PACE_FD" _
    fi
    return 0
}

bar_line() { # label current maximum; one state of dfu-util's progress bar, byte for byte
    local label=$1 cur=$2 max=$3 fill eq='=========================' sp='                         '
    ((max < cur)) && max=$((cur + 1))
    ((max == 0)) && max=1
    fill=$((25 * cur / max))
    printf '\r%s\t[%s] %3d%% %12d bytes' "$label" "${eq:0:fill}${sp:0:25-fill}" $((100 * cur / max)) "$cur"
    ((fill == 25)) && printf '\n%s done.\n' "$label"
    return 0
}

# dfu-util's bar from 0 up to `reached` of `total` bytes in 2048-byte transfers, spread over ms.
# The label is padded as the tool pads it ("Erase   ", "Download", "Upload"); the bar ends with
# "LABEL done." only when it reaches the total, so a transfer that breaks off leaves it open.
progress() { # label reached total ms
    local label=$1 reached=$2 total=$3 ms=$4 chunks steps=10 i cur
    chunks=$(((reached + 2047) / 2048))
    ((chunks < steps)) && steps=$chunks
    ((FAST && steps > 1)) && steps=1
    bar_line "$label" 0 "$total"
    for ((i = 1; i <= steps; i++)); do
        pause_ms $((ms / steps))
        cur=$(((chunks * i + steps - 1) / steps * 2048))
        ((cur > reached)) && cur=$reached
        bar_line "$label" "$cur" "$total"
    done
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

drop_knob() { # unit_dir key [in_place]; removes the key's lines, keeps everything else
    local f=$1/knobs line kept=() out=$1/knobs.tmp.$$
    [[ -f $f ]] || return 0
    while IFS= read -r line || [[ -n $line ]]; do
        [[ $line =~ ^[[:space:]]*$2[[:space:]]*= ]] || kept+=("$line")
    done <"$f"
    # The listing starts no process, so it cannot rename: it rewrites the file in one write, and a
    # reader at that moment sees the file whole or empty.
    [[ -n ${3:-} ]] && out=$f
    if ((${#kept[@]})); then printf '%s\n' "${kept[@]}" >"$out"; else : >"$out"; fi
    [[ $out == "$f" ]] || mv -f "$out" "$f"
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

unit_devnum() { # position (1, 2, ...); after load_knobs
    DEVNUM=$((KNOB[devnum] >= 0 ? KNOB[devnum] : 6 + $1))
}

# What dfu-util says when it may not open a unit: once per unit, and the unit is passed over.
# dfu-util probes the units last to first, so each line goes before the earlier ones.
add_access_denied() { # var devnum; without a subshell, since the listing may start no process
    local line
    printf -v line 'dfu-util: Cannot open DFU device %s:%s found on devnum %d (LIBUSB_ERROR_ACCESS)\n' $VID $PID "$2"
    printf -v "$1" '%s%s' "$line" "${!1}"
}

# Selects the DFU interfaces that dfu-util's filters (-d, -a, -S) leave over, in the tool's order:
# vendor and alt number before it opens the unit, alt name and serial after;
# sets UNIT_DIR to the one unit and ALT to its alt setting, or exits like the tool.
select_interface() {
    local d serial matches=0 alt i=0 denied=''
    now_ms
    UNIT_DIR=
    for d in "$UNITS"/*/; do
        d=${d%/}
        serial=${d##*/}
        i=$((i + 1))
        load_knobs "$d" # a bad knob anywhere fails the run, as it fails the emulated unit's start-up
        is_present "$d" && vendor_matches || continue
        for alt in 0 1 2 3; do
            [[ $OPT_ALT =~ ^[0-9]+$ && $((10#$OPT_ALT)) != "$alt" ]] && continue
            if ((KNOB[access_denied])); then
                unit_devnum $i
                add_access_denied denied $DEVNUM
                break
            fi
            [[ -n $OPT_ALT && ! $OPT_ALT =~ ^[0-9]+$ && $OPT_ALT != "${ALT_NAMES[alt]}" ]] && continue
            [[ -n $OPT_SERIAL && $OPT_SERIAL != "$serial" ]] && continue
            matches=$((matches + 1))
            UNIT_DIR=$d ALT=$alt
        done
    done
    printf '%s' "$denied" >&2
    ((matches == 0)) && die 74 "No DFU capable USB device available"
    ((matches > 1)) && die 74 "More than one DFU capable USB device found! Try \`--list' and specify the serial number or disconnect all but one device"$'\n'
    load_knobs "$UNIT_DIR"
}

# dfu-util opens the one interface left, claims it and asks for its state; a unit that another
# program holds refuses the claim.
open_unit() {
    printf 'Opening DFU capable USB device...\nDevice ID %s:%s\nDevice DFU version 011a\nClaiming USB DFU Interface...\n' $VID $PID
    ((KNOB[busy])) && die 74 "Cannot claim interface - LIBUSB_ERROR_BUSY"
    printf 'Setting Alternate Interface #%d ...\nDetermining device status...\n' "$ALT"
    printf 'DFU state(2) = dfuIDLE, status(0) = No error condition is present\n'
    printf 'DFU mode device DFU version 011a\nDevice returned transfer size 2048\n'
}

dfuse_interface_name() { # the alt name between "@" and the first "/"
    local name=${ALT_NAMES[ALT]#@} i
    printf 'DfuSe interface name: "%s"\n' "${name%%/*}"
    # dfu-util's layout parser takes the " e" after a segment's size for a multiplier.
    for ((i = 0; i < (ALT == 2 ? 2 : ALT % 2); i++)); do
        printf "dfu-util: Non-valid multiplier ' ', assuming bytes\n" >&2
    done
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
    local d serial i=0 out='' denied='' alt path glitch=()
    now_ms
    banner
    for d in "$UNITS"/*/; do
        d=${d%/}
        serial=${d##*/}
        i=$((i + 1))
        load_knobs "$d"
        ((KNOB[list_fails_once])) && glitch+=("$d")
        is_present "$d" && vendor_matches || continue
        unit_devnum $i
        if ((KNOB[access_denied])); then
            add_access_denied denied $DEVNUM
            continue
        fi
        [[ -n $OPT_SERIAL && $OPT_SERIAL != "$serial" ]] && continue
        path="1-$i"
        if ((KNOB[extra_listing_line])); then
            out+="Found DFU: [$VID:$PID] ver=2200, devnum=$DEVNUM, cfg=1, intf=0, path=\"$path\", alt=4, name=\"@Reserved /0x00000000/01*001 e\", serial=\"$serial\""$'\n'
        fi
        for alt in 3 2 1 0; do
            out+="Found DFU: [$VID:$PID] ver=2200, devnum=$DEVNUM, cfg=1, intf=0, path=\"$path\", alt=$alt, name=\"${ALT_NAMES[alt]}\", serial=\"$serial\""$'\n'
        done
    done
    if ((${#glitch[@]})); then
        # A passing failure of the USB library's start-up, before any unit is looked at; once.
        for d in "${glitch[@]}"; do drop_knob "$d" list_fails_once in_place; done
        die 74 "unable to initialize libusb: LIBUSB_ERROR_OTHER"
    fi
    pause_ms $LIST_MS
    printf '%s' "$denied" >&2
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
    open_unit
    # dfu-util creates the file exclusively before it reads anything.
    if [[ -e $file || -L $file ]]; then
        die 73 "Cannot open file $file for writing: File exists"
    fi
    (set -o noclobber && : >"$file") 2>/dev/null || die 73 "Cannot open file $file for writing: Permission denied"
    dfuse_interface_name
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

    if ((ALT == 2 && KNOB[otp_read_fails] || ALT == 0 && KNOB[upload_stall])); then
        bar_line Upload 0 "$LENGTH"
        die 74 "$STALLED_UPLOAD"
    fi
    if ((ALT == 0 && KNOB[vanishes_during_verify] && LENGTH > 2048)); then
        # The first block arrives, then the unit drops off the bus for good.
        dd if="$src" bs=2048 count=1 status=none >>"$file"
        progress Upload 2048 "$LENGTH" $((2048 * 1000 / UPLOAD_BYTES_PER_S))
        printf '%s\n' "$NEVER" >"$UNIT_DIR/absent_until"
        die 74 "dfuse_upload: libusb_control_transfer returned -4 (LIBUSB_ERROR_NO_DEVICE)"
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
    progress Upload "$avail" "$LENGTH" $((avail * 1000 / UPLOAD_BYTES_PER_S))
    # Past the end of the memory the bootloader stalls the request.
    ((avail < LENGTH)) && die 74 "$STALLED_UPLOAD"
    exit 0
}

# ---------------------------------------------------------------- download

cmd_download() {
    local image=$OPT_DOWNLOAD size off first=-1 i s start=0 erase_ms=0 erase_end=0 erase_start=0 written
    [[ -f $image && -r $image ]] || die 66 "Could not open file $image for reading: No such file or directory"
    size=$(stat -c %s -- "$image") || die 66 "Could not open file $image for reading"
    printf 'dfu-util: Warning: Invalid DFU suffix signature\ndfu-util: A valid DFU suffix will be required in a future dfu-util release\n' >&2
    select_interface
    open_unit
    dfuse_interface_name
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
        bar_line "Erase   " 0 "$size"
        die 74 "ERASE_PAGE not correctly executed"
    fi
    if ((erase_end > erase_start)); then
        head -c $((erase_end - erase_start)) /dev/zero | tr '\0' '\377' |
            dd of="$flash" bs=65536 iflag=fullblock seek=$erase_start oflag=seek_bytes conv=notrunc status=none
    fi
    progress "Erase   " "$size" "$size" "$erase_ms"

    written=$size
    # A failing download stops halfway, on a 2048-byte chunk boundary.
    ((KNOB[download_fails])) && written=$((size / 2 / 2048 * 2048))
    if ((written > 0)); then
        head -c "$written" -- "$image" |
            dd of="$flash" bs=65536 iflag=fullblock seek=$off oflag=seek_bytes conv=notrunc status=none
    fi
    progress Download "$written" "$size" $((written * 1000 / DOWNLOAD_BYTES_PER_S))
    if ((KNOB[download_fails])); then
        # The unit answers the next block with dfuERROR (errTARGET).
        printf ' failed!\n'
        printf 'DFU state(10) = dfuERROR, status(1) = File is not targeted for use by this device\n' >&2
        die 74 "Failed to write whole chunk: -1 of $((size - written < 2048 ? size - written : 2048)) bytes"
    fi
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
        bad_listing | download_fails | slow | access_denied | busy) ;;
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
    access_denied) unit "$new" $S 4 outdated access_denied=1 ;;
    busy) unit "$new" $S 4 outdated busy=1 ;;
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
            # "serial[,serial_in_dfu_mode]": a unit in DFU mode is matched against the second part
            -S | --serial) if [[ $2 == *,* ]]; then OPT_SERIAL=${2#*,}; else OPT_SERIAL=$2; fi ;;
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
