#!/usr/bin/env bash
# Runs report_timing: ErrGet and ErrSend per call against their floor on a 3-entry and on
# a 65535-entry catalogue (its last entry, random entries, and the first call after it
# changed), and two threads against one. Builds nothing.
#
# Usage: report_bench.sh [BUILD_DIR | REPORT_TIMING]
#   default: the build/bench directory under the source tree
#   RUNS=N       repetitions of every measurement, taking turns (default 15); medians shown
#   SAMPLE_MS=N  length of one timed sample in milliseconds (default 40)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
target=${1:-$root/build/bench}
if [ -d "$target" ]; then
    program=$target/bench/report_timing
else
    program=$target
fi
if [ ! -x "$program" ]; then
    echo "report_bench.sh: no report_timing at $program; build the target first" >&2
    exit 1
fi

echo "machine: $(uname -n), $(nproc) CPUs, load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
status=0
"$program" -r "${RUNS:-15}" -t "${SAMPLE_MS:-40}" || status=$?
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)" \
     "(another busy process skews the thread figures most; run again at a quiet moment)"
exit "$status"
