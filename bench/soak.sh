#!/bin/bash
# A long run, watched: records the simulated chain for MINUTES at RATE events/s (spread evenly
# over the chain's 15 inputs) and every 10 s samples what a long run must keep bounded.
#
#   bench/soak.sh MINUTES RATE [OUT=/tmp/ravik-soak]
#
# Environment: SOAK_BUILD (default build), SOAK_FACE=record (ravik-record, the default) or
# window (the real window, offscreen, through bench_window_stop), SOAK_ARGS: more ravik-record
# options (e.g. "--compress fast --hdf5 OUT/run.h5"), SOAK_SETTINGS: the window's settings
# (e.g. "splitTime=60"), SOAK_TMP: the temp folder (default OUT/tmp). The binary output goes to
# OUT/run.bin. SOAK_DROP_PARTS=1 (with the outputs in parts): each binary part published is
# counted and deleted, as an analysis that takes the parts away would, so that a long run at a
# high rate needs no disk for the binary output.
#
# Writes OUT/soak.csv with one row per sample:
#   seconds   since the start of the program
#   rss_mb    the recording process's resident memory
#   temp_mb   disk space the temp folder takes (allocated blocks, so released ranges of a file
#             count as free)
#   out_mb    disk space the outputs take
#   lag_s     how far the merge lags the recording, in seconds of recording: the time recorded
#             (ravik-record's last live line; for the window, the time since the start) less
#             the records the binary output holds (10 bytes each, its parts and the part being
#             written too) divided by the rate, which the simulator delivers exactly
# and OUT/soak.png, the four curves over time (matplotlib). The program's own lines go to
# OUT/program.log; its exit code is the script's.
set -uo pipefail
minutes=${1:?usage: $0 MINUTES RATE [OUT]}
rate=${2:?usage: $0 MINUTES RATE [OUT]}
out=${3:-/tmp/ravik-soak}
build=${SOAK_BUILD:-build}
face=${SOAK_FACE:-record}
tmp=${SOAK_TMP:-$out/tmp}
seconds=$(python3 -c "print(float($minutes) * 60)")
per_input=$(python3 -c "print(float($rate) / 15)")
mkdir -p "$out" "$tmp" || exit 2
# The outputs of an earlier soak, whole or in parts.
rm -f "$out"/run.* "$out"/run-[0-9]*.* "$out/soak.csv"

export RAVIK_SIM_RATES=$per_input
case $face in
record)
  # shellcheck disable=SC2086  # SOAK_ARGS is a list of options
  "$build/cli/ravik-record" -s --seconds "$seconds" --bin "$out/run.bin" --tmp "$tmp" \
      ${SOAK_ARGS:-} > "$out/program.log" 2>&1 &
  ;;
window)
  BENCH_SETTINGS=${SOAK_SETTINGS:-} QT_QPA_PLATFORM=offscreen "$build/bench/bench_window_stop" "$seconds" "$tmp" "$out/run.bin" \
      > "$out/program.log" 2>&1 &
  ;;
*)
  echo "SOAK_FACE is record or window, not '$face'" >&2
  exit 2
  ;;
esac
pid=$!
start=$(date +%s.%N)

# Bytes on disk of the files in a folder and below (allocated blocks).
used_mb() { du -s --block-size=1 "$@" 2>/dev/null | awk '{s += $1} END {printf "%.1f", s / 1e6}'; }

echo "seconds,rss_mb,temp_mb,out_mb,lag_s" > "$out/soak.csv"
dropped=0  # records of the binary parts counted and deleted (SOAK_DROP_PARTS)
while kill -0 "$pid" 2>/dev/null; do
  now=$(date +%s.%N)
  rss=$(awk '/^VmRSS:/ {printf "%.1f", $2 / 1024}' "/proc/$pid/status" 2>/dev/null)
  temp=$(used_mb "$tmp")
  # The outputs, under their final names or the temporary ones they have while written.
  outputs=0 written=0
  if [ -n "${SOAK_DROP_PARTS:-}" ]; then
    for f in "$out"/run-[0-9]*.bin; do
      [ -f "$f" ] || continue
      dropped=$((dropped + $(stat -c %s "$f") / 10))
      rm -f "$f"
    done
  fi
  for f in "$out"/run* "$out"/.ravik-*; do
    [ -f "$f" ] || continue
    outputs=$((outputs + $(stat -c '%b * %B' "$f")))
    [ "$(head -c 8 "$f" 2>/dev/null)" = TIKORBIN ] && written=$((written + $(stat -c %s "$f") / 10))
  done
  written=$((written + dropped))
  outputs=$(python3 -c "print(f'{$outputs / 1e6:.1f}')")
  /usr/bin/python3 - "$out/program.log" "$now" "$start" "$seconds" "$rate" "$rss" "$temp" \
      "$outputs" "$written" >> "$out/soak.csv" <<'PYTHON'
import re, sys
log, now, start, seconds, rate, rss, temp, outputs, written = sys.argv[1:]
t = float(now) - float(start)
# ravik-record's last live line: "S s: ... X M events (est.) ... | ...", one part per device.
lines = [l for l in open(log, errors="replace").read().splitlines() if re.match(r"\s*[\d.]+ s: ", l)]
# The simulator delivers RATE exactly; the live lines' event counts are the devices' own
# estimate (3/2 a word), too coarse for a lag.
if lines:
    lag = float(lines[-1].split(" s:")[0]) - float(written) / float(rate)
else:
    lag = min(t, float(seconds)) - float(written) / float(rate)
print(f"{t:.1f},{rss or 0},{temp or 0},{outputs},{max(0.0, lag):.2f}")
PYTHON
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
done
wait "$pid"
code=$?

/usr/bin/python3 - "$out" "$minutes" "$rate" "$face" <<'PYTHON'
import csv, sys
import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt
folder, minutes, rate, face = sys.argv[1:]
rows = list(csv.DictReader(open(f"{folder}/soak.csv")))
t = [float(r["seconds"]) / 60 for r in rows]
fig, axes = plt.subplots(4, 1, sharex=True, figsize=(7, 8))
for ax, key, label in zip(axes, ["rss_mb", "temp_mb", "out_mb", "lag_s"],
                          ["resident memory (MB)", "temp disk (MB)", "outputs on disk (MB)",
                           "merge behind (s)"]):
    ax.plot(t, [float(r[key]) for r in rows])
    ax.set_ylabel(label)
    ax.grid(True, alpha=0.3)
axes[-1].set_xlabel("minutes")
who = "ravik-record" if face == "record" else "the window"
fig.suptitle(f"{who}: {minutes} min at {float(rate) / 1e6:g} M events/s")
fig.tight_layout()
fig.savefig(f"{folder}/soak.png", dpi=90)
PYTHON
echo "soak: exit code $code; $out/soak.csv, $out/soak.png, $out/program.log"
exit $code
