#!/usr/bin/env bash
# Times TarvikCompile against compile_floor on a catalogue source of one class with 65535
# errors, and shows the compiler's peak memory on a large and a small source.
#
# Usage: compile_bench.sh [TARVIK_COMPILE [COMPILE_FLOOR]]
#   defaults: the programs of build/bench under the source tree
#   RUNS=N    timed runs of each program, taking turns (default 21); the median and the
#             best are shown
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
compiler=$(realpath "${1:-$root/build/bench/src/TarvikCompile}")
floor=$(realpath "${2:-$root/build/bench/bench/compile_floor}")
runs=${RUNS:-21}
goal=1.3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# One class of n errors with texts of about 40 bytes, a comment line every 100 errors.
make_source() {
    awk -v n="$1" 'BEGIN {
        print "# Generated catalogue for the compiler benchmark"
        print ".CLASS bench 4660"
        for (i = 1; i <= n; i++) {
            if (i % 100 == 0)
                print "# errors from " i
            printf "Error_%05d \"Text of error %05d, forty bytes long\"\n", i, i
        }
    }' > "$2"
}

# Microseconds of one run of the command, on bash's own clock where it has one (no process
# started around the run), else on date's.
time_once() {
    local start end
    if [ -n "${EPOCHREALTIME:-}" ]; then
        start=${EPOCHREALTIME/[.,]/}
        "$@" > /dev/null
        end=${EPOCHREALTIME/[.,]/}
        echo $(( end - start ))
    else
        start=$(date +%s%N)
        "$@" > /dev/null
        end=$(date +%s%N)
        echo $(( (end - start) / 1000 ))
    fi
}

# "median best" in milliseconds of the microsecond figures on standard input.
summary() {
    sort -n | awk '{ t[NR] = $1 } END { printf "%.2f %.2f\n", t[int((NR + 1) / 2)] / 1000, t[1] / 1000 }'
}

# Peak resident memory in KB of one run of the command.
peak_kb() {
    if [ -x /usr/bin/time ]; then
        /usr/bin/time -f %M "$@" 2>&1 > /dev/null | tail -n 1
    else
        echo "n/a"
    fi
}

make_source 65535 large.txt
make_source 100 small.txt

"$compiler" large.txt
header_bytes=$(stat -c %s BENCH_err.h)
catalogue_bytes=$(stat -c %s BENCH_err.tarvik)
"$floor" large.txt "$header_bytes" "$catalogue_bytes"
if [ "$(stat -c %s floor_err.h) $(stat -c %s floor_err.tarvik)" != \
     "$header_bytes $catalogue_bytes" ]; then
    echo "compile_floor did not write files of the compiler's sizes" >&2
    exit 1
fi

# The runs above warmed the caches. The two programs take turns, so that a change of load on
# the machine weighs on both alike.
for ((i = 0; i < runs; i++)); do
    echo "compiler $(time_once "$compiler" large.txt)"
    echo "floor $(time_once "$floor" large.txt "$header_bytes" "$catalogue_bytes")"
done > times.txt
read -r compiler_median compiler_best < <(awk '$1 == "compiler" { print $2 }' times.txt | summary)
read -r floor_median floor_best < <(awk '$1 == "floor" { print $2 }' times.txt | summary)
ratio=$(awk -v c="$compiler_median" -v f="$floor_median" 'BEGIN { printf "%.2f", c / f }')
best_ratio=$(awk -v c="$compiler_best" -v f="$floor_best" 'BEGIN { printf "%.2f", c / f }')
verdict=$(awk -v r="$ratio" -v g="$goal" 'BEGIN { print (r <= g) ? "within" : "OVER" }')

echo "source: 65535 errors, $(stat -c %s large.txt) bytes; outputs $header_bytes + $catalogue_bytes bytes"
echo "runs: $runs each"
printf '%-14s median %8s ms   best %8s ms\n' TarvikCompile "$compiler_median" "$compiler_best"
printf '%-14s median %8s ms   best %8s ms\n' compile_floor "$floor_median" "$floor_best"
echo "ratio: $ratio of the medians, $verdict the goal of ${goal}x ($best_ratio of the bests)"
echo "TarvikCompile peak memory: $(peak_kb "$compiler" large.txt) KB on 65535 errors," \
     "$(peak_kb "$compiler" small.txt) KB on 100 errors"
