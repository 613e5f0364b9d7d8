#!/usr/bin/env bash
# tools/fuzz.sh [RUNS]: builds the libFuzzer targets (FUZZ=ON, clang) in build-fuzz/ and runs each of them
# RUNS times (default 10^7), one after another at the lowest priority, from the committed seeds with its
# dictionary. Prints each target's final statistics; a finding is saved under build-fuzz/artifacts/ and
# makes the script fail. Long: not part of test.sh or CI, which replay the committed corpora instead.
set -euo pipefail
runs="${1:-10000000}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-fuzz"
fuzz_dir="$root/tests/fuzz"

command -v clang++ >/dev/null || { echo "fuzz.sh: clang++ not found (apt-get install clang)" >&2; exit 69; }
if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DFUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DBUILD_TESTING=ON
fi
nice -n 19 cmake --build "$build" -j 2 --target fuzz_targets

mkdir -p "$build/artifacts" "$build/logs"
status=0
for name in listing fw_info otp_info; do
    # A fresh working corpus each time, so that the figures always start from the committed seeds.
    work="$build/corpus/$name"
    rm -rf "$work"
    mkdir -p "$work"
    log="$build/logs/$name.log"
    echo "== fuzz_$name: $runs runs (log: $log)"
    rc=0
    nice -n 19 "$build/tests/fuzz/fuzz_$name" "$work" "$fuzz_dir/corpus/$name" -dict="$fuzz_dir/$name.dict" \
        -max_len=4096 -runs="$runs" -print_final_stats=1 -artifact_prefix="$build/artifacts/$name-" \
        >"$log" 2>&1 || rc=$?
    grep -E '^#[0-9]+[[:space:]]+(DONE|INITED)|^Done [0-9]+ runs|^stat::|ERROR|SUMMARY|Test unit written' "$log" || true
    if [ "$rc" -ne 0 ]; then
        echo "fuzz_$name: exit status $rc, see $log" >&2
        status=1
    fi
done
exit $status
