#!/bin/bash
# The HDF5 output against the binary output over many runs of bench_hdf5, one after another: the
# host's speed changes from minute to minute, and a single run says little about the spread.
# Writes 3 streams of 24 million records in all (bench_merge --streams) into a folder of its own,
# runs `bench_hdf5 STREAMS /dev/shm/...` RUNS times (as `chrt -f 10` when run as root, so that
# other processes cannot take the processors from it), prints per run the binary output's
# records/s and the HDF5 output's share of it, then the range, the median and the runs below 90 %;
# and the same of the control, the binary case run again beside it, whose share shows how far
# the host's changes of speed alone move a share.
#
#   bench/bench_hdf5_runs.sh BUILD_DIR [runs=10]
#
# BENCH_CASE names the HDF5 case to compare (default "hdf5"; "hdf5 fast" for --compress fast),
# BENCH_RATE the streams' rate of all devices together in events/s (bench_merge --streams' last
# argument; default its own, 6 M events/s).
set -euo pipefail
build=${1:?usage: $0 BUILD_DIR [runs]}
runs=${2:-10}
work=$(mktemp -d /tmp/ravik-bench-hdf5-XXXXXX)
out=$(mktemp -d /dev/shm/ravik-bench-hdf5-XXXXXX)
trap 'rm -rf "$work" "$out"' EXIT
case=${BENCH_CASE:-hdf5}
"$build/bench/bench_merge" --streams "$work" 24000000 3 ${BENCH_RATE:+"$BENCH_RATE"}
realtime=()
if [ "$(id -u)" -eq 0 ] && chrt -f 10 true 2>/dev/null; then realtime=(chrt -f 10); fi
shares=()
agains=()
for run in $(seq "$runs"); do
  result=$("${realtime[@]}" "$build/bench/bench_hdf5" "$work" "$out")
  # The merge cases' lines: "  binary   163.5 M records/s  100 % of binary ...", then "  hdf5 ...".
  binary=$(awk '$1 == "binary" && /of binary/ {print $2; exit}' <<<"$result")
  # The case's line: its name, then its figures; the share is the number before the first "%".
  share=$(awk -v c="$case" '$0 ~ "^  " c " +[0-9]" && /of binary/ {
            for (i = 1; i < NF; ++i) if ($(i + 1) == "%") { print $i; exit } }' <<<"$result")
  if [ -z "$binary" ] || [ -z "$share" ]; then
    echo "run $run: bench_hdf5 printed no figures:" >&2
    echo "$result" >&2
    exit 1
  fi
  again=$(awk '$1 == "binary" && $2 == "again" && /of binary/ {print $6; exit}' <<<"$result")
  first=$(awk '$1 == "first" && $2 == "runs," {print $5, $6, "s,", $8, $9, "s"}' <<<"$result")
  echo "run $run: binary $binary M records/s, $case $share % of binary (binary again: $again %;" \
    "first runs, not counted: $first)"
  shares+=("$share")
  agains+=("$again")
done
# The range, the median and the runs below 90 % of a list of shares, named by $1.
summary() {
  sort -n | awk -v what="$1" '
    { v[NR] = $1; if ($1 < 90) below++ }
    END {
      median = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
      printf "%s at %d to %d %% of binary, median %g %%, %d below 90 %%", what, v[1], v[NR],
             median, below + 0
    }'
}
echo "$runs runs${realtime:+ (real-time)}: $(printf '%s\n' "${shares[@]}" | summary "$case");" \
  "the control, binary again: $(printf '%s\n' "${agains[@]}" | summary binary)"
