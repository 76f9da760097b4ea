#!/bin/bash
# What Ravik itself ingests: ravik-record on three simulated devices that replay raw stream files
# at maximum rate (RAVIK_SIM_REPLAY, RAVIK_SIM_MAX_RATE=1), so the simulator generates nothing;
# every block goes through the callback into the temp files and the merge runs beside the
# recording, binary output to /dev/null. The streams (bench_merge's, 3 devices) hold more than
# the recording can take at 700 million events/s, so the replay never runs dry.
#
#   bench/bench_replay.sh BUILD_DIR [seconds=2] [runs=3]
#
# Prints per run the records merged, the merge's wall-clock time from the start of the recording
# to the complete output, their ratio (end to end, records/s), the records per processor-second
# of the whole process (recording, merge and all; on a busy machine the process gets only part
# of the processors, and this figure is the steadier one) and the devices' loss state; then the
# same for the simulator generating the events itself (RAVIK_SIM_RATES=20e6) for comparison.
set -euo pipefail
build=${1:?usage: $0 BUILD_DIR [seconds] [runs]}
seconds=${2:-2}
runs=${3:-3}
work=$(mktemp -d /tmp/ravik-bench-replay-XXXXXX)
trap 'rm -rf "$work"' EXIT
records=$(python3 -c "print(int(700e6 * $seconds))")
"$build/bench/bench_merge" --streams "$work" "$records" 3
# The streams just written are still going to the disk: that would take the processors and the
# disk from the recordings measured below. And a first read of a file just written costs the
# system more than later ones (the first run ingested at half the speed of the others): the
# streams stand for a device's memory, so they are read once before.
sync
cat "$work"/dev*.raw > /dev/null
mkdir "$work/tmp"
export RAVIK_SIM_MAX_RATE=1
replay=$work/dev0.raw,$work/dev1.raw,$work/dev2.raw
report() {
  python3 - "$work/out.txt" "$1" <<'PYTHON'
import re, sys
text = open(sys.argv[1]).read()
records = int(re.search(r"records written\s+(\d+)", text).group(1))
elapsed = float(re.search(r"elapsed\s+([\d.]+) s", text).group(1))
processor = sum(map(float, open(sys.argv[1] + ".time").read().split()))
losses = re.findall(r"records \d+\s+(loss [^,]*)", text)
print(f"{sys.argv[2]}: {records} records in {elapsed:.3f} s, "
      f"{records / elapsed / 1e6:.1f} M events/s end to end, "
      f"{records / processor / 1e6:.1f} M per processor-s; {', '.join(losses)}")
PYTHON
}
for run in $(seq "$runs"); do
  for source in replay generated; do
    if [ $source = replay ]; then export RAVIK_SIM_REPLAY=$replay; else unset RAVIK_SIM_REPLAY; fi
    RAVIK_SIM_RATES=20e6 /usr/bin/time -f "%U %S" -o "$work/out.txt.time" \
        "$build/cli/ravik-record" -s --seconds "$seconds" --bin /dev/null \
        --tmp "$work/tmp" > /dev/null 2> "$work/out.txt" || true
    report "run $run, $source"
  done
done
