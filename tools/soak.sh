#!/usr/bin/env bash
# Soak of the device worker and the decision state machine against the simulator script: a unit comes and
# goes and is upgraded every so often, for POLLS listings (default 10000). Prints, at the start and at
# every thousandth poll, the process's resident memory, open file descriptors, child processes and
# zombies, sampled while the worker pauses between tool runs; all must stay flat.
#   tools/soak.sh [POLLS]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${UPGRADE_BUILD:-$root/build}"
cmake --build "$build" --target soak_workflow >/dev/null
polls="${1:-10000}"
start=$(date +%s)
"$build/tests/workflow/soak_workflow" "$polls" 2>&1 >/dev/null | tee /tmp/soak.$$
end=$(date +%s)
first=$(grep '^start' /tmp/soak.$$ || true)
last=$(grep '^end' /tmp/soak.$$ || true)
rm -f /tmp/soak.$$
echo "== $polls polls in $((end - start)) s"
echo "first: $first"
echo "last:  $last"
