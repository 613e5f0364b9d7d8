# Sourced by the emulated unit's test scripts: named cases, failures counted, one verdict at the end.
# shellcheck shell=bash

failures=0
current=""
fail() {
    echo "FAIL [$current]: $*" >&2
    failures=$((failures + 1))
}
case_() {
    current="$1"
    echo "--- $1"
}
# The last line of a script: its exit status says whether every case passed.
finish() {
    if [ "$failures" -gt 0 ]; then
        echo "$failures failure(s)" >&2
        exit 1
    fi
    echo "all passed"
}
