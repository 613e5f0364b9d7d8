#!/usr/bin/env bash
# Builds the program and runs it. Without options: simulator mode with the log window (-s -l).
set -euo pipefail
source "$(dirname "$0")/tools/setup.sh"
upgrade_install_packages
upgrade_build "$UPGRADE_ROOT/build"

args=("$@")
[ ${#args[@]} -eq 0 ] && args=(-s -l)
export VELTARO_SIM_FIRMWARE="${VELTARO_SIM_FIRMWARE:-$UPGRADE_ROOT/build/software/resources/firmware.bin}"
program="$UPGRADE_ROOT/build/veltaro-upgrade"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: running under a virtual X display (Xvfb)."
    exec xvfb-run -a -s "-screen 0 1280x800x24" "$program" "${args[@]}"
fi
exec "$program" "${args[@]}"
