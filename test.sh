#!/usr/bin/env bash
# Builds everything in build/ and runs every test. Extra arguments go to ctest (e.g. -L unit, -R tst_device).
set -euo pipefail
source "$(dirname "$0")/tools/setup.sh"
upgrade_install_packages
upgrade_build "$UPGRADE_ROOT/build"
# The Debian package that the package checks look at; repacked only when something in it changed.
cmake --build "$UPGRADE_ROOT/build" --target deb

status=0
# Variant builds: the decoders under AddressSanitizer+UBSan, the workflow in the service build.
# Each builds only the tests that carry its label.
if [ $# -eq 0 ]; then
    for variant in sanitize:-DSANITIZE=ON service:-DSERVICE_BUILD=ON; do
        name="${variant%%:*}"
        option="${variant#*:}"
        dir="$UPGRADE_ROOT/build/variant-$name"
        [ -f "$dir/build.ninja" ] || cmake -S "$UPGRADE_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$option"
        cmake --build "$dir" -j "$(nproc)" --target "${name}_tests"
        echo "== $name build: tests labelled '$name'"
        ctest --test-dir "$dir" -L "^$name\$" --output-on-failure --no-tests=ignore || status=1
    done
fi

echo "== standard build: all tests"
ctest --test-dir "$UPGRADE_ROOT/build" --output-on-failure -j 2 "$@" || status=1
exit $status
