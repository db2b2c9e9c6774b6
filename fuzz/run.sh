#!/usr/bin/env bash
# Runs the fuzz targets, each for a bounded time. Builds nothing.
#
#   fuzz/run.sh [-B <build dir>] [seconds] [target...]
#
# <build dir> is where the "fuzz" preset built the targets (default: build/fuzz);
# seconds per target default to 60; the targets to fuzz_compile, fuzz_config,
# fuzz_catalogue and fuzz_index.
#
# Each target first replays its regression inputs, fuzz/regressions/<target>/*, then
# fuzzes from a scratch copy of its seed corpus, fuzz/corpus/<target>/, so that the
# inputs it adds stay out of the repository. The executions of every target are
# printed at the end. A crash, leak, timeout or out-of-memory makes the script exit 1;
# the input that caused it is copied into fuzz/regressions/<target>/, to be committed
# with the fix as a regression input.
#
# fuzz_config runs in libFuzzer's fork mode: every configuration load keeps its class
# table for good, so one long-lived process would only grow; fork mode fuzzes in
# short-lived child processes. Its leak checking happens as each child exits.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$here/../build/fuzz
if [[ ${1:-} == -B ]]; then
  build=$2
  shift 2
fi
seconds=${1:-60}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(fuzz_compile fuzz_config fuzz_catalogue fuzz_index)
build=$(cd "$build" && pwd) || exit 2

# Per-target options: the longest input, and the fork mode of fuzz_config.
options() {
  case $1 in
  fuzz_compile) echo "-max_len=8192" ;;
  fuzz_config) echo "-max_len=4096 -fork=1 -detect_leaks=0 -ignore_timeouts=0 -ignore_ooms=0" ;;
  fuzz_catalogue) echo "-max_len=40000" ;; # beyond the reader's 16384-byte buffer
  fuzz_index) echo "-max_len=4096" ;;       # room for 64 steps, a few new files among them
  esac
}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-fuzz-run-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

failed=0
summary=()
for target in "${targets[@]}"; do
  binary=$build/fuzz/$target
  if [[ ! -x $binary ]]; then
    echo "$target: no such target in $build/fuzz" >&2
    exit 2
  fi
  artifacts=$scratch/$target-artifacts
  corpus=$scratch/$target-corpus
  log=$scratch/$target.log
  mkdir -p "$artifacts" "$corpus" "$scratch/tmp"
  cp "$here/corpus/$target"/* "$corpus"/

  # The regression inputs: each one run once.
  regressions=("$here/regressions/$target"/*)
  if [[ -e ${regressions[0]} ]]; then
    echo "== $target: replaying ${#regressions[@]} regression input(s)"
    if ! TMPDIR=$scratch/tmp "$binary" "${regressions[@]}" >"$log" 2>&1; then
      tail -n 30 "$log"
      echo "== $target: a regression input fails" >&2
      failed=1
      summary+=("$target: regression input fails")
      continue
    fi
  fi

  echo "== $target: fuzzing for $seconds s"
  start=$SECONDS
  # The targets' scratch directories go below the run's own, removed at the end even
  # when libFuzzer stops a process without running its exit handlers.
  # shellcheck disable=SC2046 # the options are words
  TMPDIR=$scratch/tmp "$binary" $(options "$target") -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1
  status=$?
  elapsed=$((SECONDS - start))
  # "Done <n> runs" in the plain mode; the last "#<n>" status line in fork mode.
  runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -n 1)
  [[ -n $runs ]] || runs=$(sed -n 's/^#\([0-9]*\)[^0-9].*/\1/p' "$log" | tail -n 1)
  found=("$artifacts"/*)
  if ((status != 0)) || [[ -e ${found[0]} ]]; then
    tail -n 40 "$log"
    mkdir -p "$here/regressions/$target"
    for input in "${found[@]}"; do
      [[ -e $input ]] || continue
      cp "$input" "$here/regressions/$target/"
      echo "== $target: input kept as fuzz/regressions/$target/$(basename "$input")"
    done
    failed=1
    summary+=("$target: FAILED (status $status) after ${runs:-?} executions in $elapsed s")
  else
    summary+=("$target: ${runs:-?} executions in $elapsed s, no finding")
  fi
done

echo "== summary"
printf '%s\n' "${summary[@]}"
exit $failed
