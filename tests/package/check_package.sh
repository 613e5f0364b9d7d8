#!/usr/bin/env bash
# Checks the Debian package that `cmake --build build --target package` made:
#   check_package.sh SOURCE_DIR BINARY_DIR VERSION
# control fields and versions, the file list against tests/package/expected-files.txt, lintian (no
# errors; its warnings exactly those the README explains), desktop-file-validate, appstreamcli, and the
# extracted package's program in simulator mode, with no build tree behind it.
set -u
source_dir=$1
binary_dir=$2
version=$3

deb=$binary_dir/veltaro-upgrade_${version}_$(dpkg --print-architecture).deb
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

if [[ ! -f $deb ]]; then
    echo "FAIL: no package $deb: build it with 'cmake --build ${binary_dir} --target package' (./test.sh does)"
    exit 1
fi
if [[ $binary_dir/veltaro-upgrade -nt $deb ]]; then
    echo "FAIL: $deb is older than the program: rebuild it with 'cmake --build ${binary_dir} --target package'"
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/check_package.XXXXXX")
program_pid=
cleanup() {
    [[ -n $program_pid ]] && kill -KILL "$program_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# Control fields; the changelog and the metainfo name the same release.
field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == veltaro-upgrade ]] || fail "Package is '$(field Package)'"
[[ $(field Version) == "$version" ]] || fail "Version is '$(field Version)', the project's is $version"
depends=$(field Depends)
for lib in libc6 libqt5core5a libqt5widgets5; do
    [[ $depends == *"$lib "* ]] || fail "Depends lacks $lib (dpkg-shlibdeps): $depends"
done
echo "Depends: $depends"

dpkg-deb -x "$deb" "$work/root" || fail "dpkg-deb -x"
root=$work/root
zcat "$root/usr/share/doc/veltaro-upgrade/changelog.gz" >"$work/changelog"
changelog_version=$(dpkg-parsechangelog -l "$work/changelog" -S Version)
[[ $changelog_version == "$version" ]] || fail "the changelog's newest entry is $changelog_version"
metainfo=$root/usr/share/metainfo/com.veltaro.FirmwareUpgrade.metainfo.xml
release=$(grep -o '<release version="[^"]*"' "$metainfo" | head -n 1 | cut -d'"' -f2)
[[ $release == "$version" ]] || fail "the metainfo's newest release is '$release'"
cmp -s "$root/lib/udev/rules.d/70-veltaro-upgrade.rules" "$source_dir/packaging/70-veltaro-upgrade.rules" ||
    fail "the installed udev rule differs from packaging/70-veltaro-upgrade.rules"
pass "control fields, versions, udev rule"

# The file list: modes, owners and paths.
dpkg-deb -c "$deb" | awk '{print $1, $2, $6}' >"$work/files.txt"
if diff -u "$source_dir/tests/package/expected-files.txt" "$work/files.txt"; then
    pass "file list"
else
    fail "file list differs from tests/package/expected-files.txt (above)"
fi

# lintian: no errors; the warnings left are exactly the ones the README explains.
lintian --no-cfg --pedantic -I "$deb" >"$work/lintian.txt" 2>"$work/lintian.err"
lintian_status=$?
echo "lintian output:"
sed 's/^/    /' "$work/lintian.txt"
if [[ $lintian_status -ne 0 && ! -s $work/lintian.txt ]]; then
    fail "lintian did not run: $(cat "$work/lintian.err")"
fi
grep -q '^E: ' "$work/lintian.txt" && fail "lintian reports errors"
grep '^W: ' "$work/lintian.txt" | awk '{print $3}' | sort -u >"$work/warnings"
# shellcheck disable=SC2016 # the backticks are the README's, not a command
sed -n '/<!-- lintian-warnings -->/,/<!-- \/lintian-warnings -->/p' "$source_dir/README.md" |
    sed -n 's/^- `\([a-z0-9-]*\)`.*/\1/p' | sort -u >"$work/explained"
if diff -u "$work/explained" "$work/warnings" >"$work/warnings.diff"; then
    pass "lintian: no errors, every warning explained in the README"
else
    cat "$work/warnings.diff"
    fail "lintian warnings differ from the README's list (- explained only, + reported only)"
fi

desktop=$root/usr/share/applications/com.veltaro.FirmwareUpgrade.desktop
out=$(desktop-file-validate "$desktop" 2>&1)
if [[ $? -eq 0 && -z $out ]]; then pass "desktop-file-validate"; else fail "desktop-file-validate: $out"; fi
out=$(appstreamcli validate --no-net "$metainfo" 2>&1)
status=$?
mapfile -t lines <<<"$out"
printf '    %s\n' "${lines[@]}"
# Pedantic hints are allowed; errors, warnings and infos are not.
if [[ $status -eq 0 ]] && ! grep -qE '^[EWI]: ' <<<"$out"; then
    pass "appstreamcli validate --no-net"
else
    fail "appstreamcli validate --no-net"
fi

# The extracted program in simulator mode, run from a directory of its own with its own temporary and
# runtime directories and without VELTARO_SIM_FIRMWARE: it must find the installed script and hand it
# its own unpacked firmware.
mkdir -p "$work/tmp" "$work/run" "$work/units" "$work/home"
chmod 700 "$work/run"
script=$root/usr/share/veltaro-upgrade/dfu-util_simulator.sh
log=$work/program.log
(cd "$work" && exec env -u VELTARO_SIM_FIRMWARE -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen \
    TMPDIR="$work/tmp" XDG_RUNTIME_DIR="$work/run" VELTARO_UNITS_DIR="$work/units" HOME="$work/home" \
    "$root/usr/bin/veltaro-upgrade" -s) 2>"$log" >/dev/null &
program_pid=$!

# Bounded waits: poll until the condition holds or the time is up.
wait_for() { # seconds command...
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        ((SECONDS < deadline)) || return 1
        kill -0 "$program_pid" 2>/dev/null || return 1
        sleep 0.05
    done
}
if wait_for 60 grep -q 'SM_B: entered B2' "$log"; then
    pass "the extracted program reached 'SM_B: entered B2'"
else
    fail "no 'SM_B: entered B2' within 60 s"
fi
grep -qF "Start  \"$script\"" "$log" || fail "the program did not run the installed script $script"

# The script runs every half second: catch one run and read what the program handed it.
handed_firmware() {
    local child
    for child in $(pgrep -P "$program_pid"); do
        tr '\0' '\n' <"/proc/$child/environ" 2>/dev/null | grep -q "^VELTARO_SIM_FIRMWARE=$work/tmp/upgrade_[^/]*/firmware.bin$" &&
            return 0
    done
    return 1
}
if wait_for 20 handed_firmware; then
    pass "the script got the program's unpacked firmware.bin"
else
    fail "no script run with VELTARO_SIM_FIRMWARE=<working directory>/firmware.bin seen within 20 s"
fi

# End it. A program that catches SIGTERM must exit within the bound and leave nothing behind; one
# that does not is ended by the signal, and its working directory is removed here.
handles_term=0
sigcgt=$(awk '/^SigCgt:/ {print $2}' "/proc/$program_pid/status" 2>/dev/null)
[[ -n $sigcgt ]] && (((16#$sigcgt >> 14) & 1)) && handles_term=1
kill -TERM "$program_pid" 2>/dev/null
exited() { ! kill -0 "$program_pid" 2>/dev/null; }
deadline=$((SECONDS + 20))
until exited || ((SECONDS >= deadline)); do sleep 0.05; done
if ! exited; then
    kill -KILL "$program_pid"
    fail "the program did not exit within 20 s of SIGTERM"
    handles_term=0
fi
wait "$program_pid" 2>/dev/null
program_pid=
# Its children end with it (they were running the script from the extracted tree).
deadline=$((SECONDS + 10))
while pgrep -f "$root/" >/dev/null && ((SECONDS < deadline)); do sleep 0.05; done
if pgrep -f "$root/" >/dev/null; then
    fail "processes of the extracted package are left: $(pgrep -af "$root/")"
    pgrep -f "$root/" | xargs -r kill -KILL
fi
left=$(find "$work/tmp" -mindepth 1 -maxdepth 1 -name 'upgrade_*')
if [[ -n $left ]]; then
    if ((handles_term)); then
        fail "the program left its working directory: $left"
    else
        echo "note: the program does not catch SIGTERM; removing the working directory it left: $left"
    fi
    while read -r dir; do rm -rf "$dir"; done <<<"$left"
fi
[[ -z $(find "$work/tmp" -mindepth 1 -maxdepth 1 -name 'upgrade_*') ]] && pass "nothing left behind"

if ((failures)); then
    echo "the program's log, last lines:"
    tail -n 40 "$log"
    echo "$failures check(s) failed"
    exit 1
fi
echo "all package checks passed: $deb"
