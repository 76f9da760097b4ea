#!/bin/bash
# End-to-end speed of ravik-merge, process start to exit: for 1, 3 and 8 devices, text only,
# binary only and both, into /dev/null and into files in /tmp, in records/s. The streams are
# those of bench_merge (same records, page cache), so the figures compare with its in-process
# ones. Each case is timed with hyperfine when it is installed, else with /usr/bin/time.
#
#   bench/bench_merge_cli.sh BUILD_DIR [records [device-count ...]]   (default 24000000, 1 3 8)
#
# MODE=quiet (default) runs with --quiet, the merge alone; MODE=summary runs without it, with the
# summary's per-channel counts and time span. KEEP=FILTER: binary output to /dev/null only, each
# case without and then with --keep FILTER, to show what the filter's stage costs.
set -euo pipefail
build=${1:?usage: $0 BUILD_DIR [records [device-count ...]]}
records=${2:-24000000}
shift $(( $# > 1 ? 2 : 1 ))
counts=("${@:-1 3 8}")
mode=${MODE:-quiet}
flag=$([ "$mode" = quiet ] && echo --quiet || echo "")
program=$build/cli/ravik-merge
streams=$(mktemp -d /tmp/ravik-bench-cli-XXXXXX)
trap 'rm -rf "$streams"' EXIT

# Seconds of one run of the command: hyperfine's mean of 5 runs, or the best of 3 by time.
seconds() {
  if command -v hyperfine > /dev/null; then
    hyperfine -N --warmup 1 --runs 5 --export-json "$streams/h.json" "$1" > /dev/null 2>&1
    python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["results"][0]["mean"])' \
      "$streams/h.json"
  else
    for _ in 1 2 3; do eval "/usr/bin/time -f %e $1" 2>&1 >/dev/null | tail -1; done |
      sort -n | head -1
  fi
}

echo "ravik-merge end to end, $records records in all, mode $mode"
for n in ${counts[@]}; do
  rm -f "$streams"/dev*.raw
  "$build/bench/bench_merge" --streams "$streams" "$records" "$n"
  inputs=$(ls "$streams"/dev*.raw | sort -V | tr '\n' ' ')
  total=$(( records / n * n ))
  echo "$n device(s):"
  if [ -n "${KEEP:-}" ]; then
    for keep in "" "--keep '$KEEP'"; do
      s=$(seconds "$program $flag --bin /dev/null $keep $inputs")
      printf "  binary only /dev/null %-40s %6.1f M records/s  (%.3f s)\n" "$keep" \
        "$(python3 -c "print($total / $s / 1e6)")" "$s"
    done
    continue
  fi
  for sink in /dev/null /tmp; do
    if [ $sink = /dev/null ]; then txt=/dev/null; bin=/dev/null; else
      txt=$streams/out.txt; bin=$streams/out.bin; fi
    for outputs in "text only:--text $txt" "binary only:--bin $bin" "both:--text $txt --bin $bin"; do
      s=$(seconds "$program $flag ${outputs#*:} $inputs")
      printf "  %-12s %-10s %6.1f M records/s  (%.3f s)\n" "${outputs%%:*}" $sink \
        "$(python3 -c "print($total / $s / 1e6)")" "$s"
      rm -f "$streams"/out.*
    done
  done
done
