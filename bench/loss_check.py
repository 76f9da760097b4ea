#!/usr/bin/env python3
"""Checks the loss intervals of real recordings of a lossy simulated device against its records.

Runs, RUNS times,

    RAVIK_SIM_DATA_LOSS=0 ravik-record -s --seconds S --text o.txt --report r.json --loss-records \
        --keep-raw --tmp <folder>

(library index 0 loses 1 ms of data every 250 ms), optionally beside LOAD busy loops that make the
machine slow, as when the stop cuts off a restart. In every run it checks that

  - no loss interval holds a record of its own device (strictly between its bounds),
  - no interval reaches past the last record of the run,
  - the loss records in o.txt mark exactly the intervals of r.json,
  - ravik-merge of the kept raw files without --loss-records finds the same intervals,

and counts the runs in which the stop cut off a restart (a loss from the device's last record to
the end). Exit status 1 when a check failed.

    bench/loss_check.py BUILD_DIR [--runs 20] [--seconds 3] [--load 3]
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile


def read_text(path):
    """Records of the text output: {chain position: [times]} and the loss marks [(time, channel)]."""
    own, marks, last = {}, [], None
    with open(path) as f:
        for line in f:
            time, channel = (int(x) for x in line.split(","))
            last = time if last is None else max(last, time)
            if channel < 0:
                marks.append((time, channel))
            else:
                own.setdefault(channel // 5, []).append(time)
    return own, sorted(marks), last


def check_run(build, seconds, folder):
    """The problems found in one run, and whether the stop cut off a restart."""
    text, report = os.path.join(folder, "o.txt"), os.path.join(folder, "r.json")
    raw = os.path.join(folder, "raw")
    os.mkdir(raw)
    env = dict(os.environ, RAVIK_SIM_DATA_LOSS="0")
    record = [os.path.join(build, "cli/ravik-record"), "-s", "-q", "--seconds", str(seconds),
              "--text", text, "--report", report, "--loss-records", "--keep-raw", "--tmp", raw]
    code = subprocess.run(record, env=env, stderr=subprocess.PIPE).returncode
    if code != 5:
        return ["ravik-record exited with %d, not 5 (data lost)" % code], False
    own, marks, last = read_text(text)
    recorded = json.load(open(report))
    problems, expected_marks, cut_off = [], [], False
    for device in recorded["devices"]:
        p, times = device["chain"], own.get(device["chain"], [])
        for loss in device["lost"]:
            lo, hi = loss["from_ps"], loss["to_ps"]
            inside = [t for t in times if lo < t < hi]
            if inside:
                problems.append("chain %d: %s holds %d of its records" % (p, loss, len(inside)))
            if hi > last:
                problems.append("chain %d: %s ends %d ps past the last record" % (p, loss, hi - last))
            if times and lo == times[-1]:
                cut_off = True
            expected_marks += [(lo, -(2 * p + 1)), (hi, -(2 * p + 2))]
    if sorted(expected_marks) != marks:
        problems.append("the loss records differ from the report's intervals")

    runs = [os.path.join(raw, d) for d in os.listdir(raw)]
    streams = ["%s/ravik-%d.tmp:%d:0" % (runs[0], d["index"], d["chain"])
               for d in recorded["devices"]]
    again = os.path.join(folder, "again.json")
    merge = [os.path.join(build, "cli/ravik-merge"), "-q", "--text", os.path.join(folder, "again.txt"),
             "--report", again] + streams
    subprocess.run(merge, stderr=subprocess.DEVNULL)
    merged = json.load(open(again))
    for a, b in zip(recorded["devices"], merged["devices"]):
        if a["lost"] != b["lost"]:
            problems.append("chain %d: ravik-merge without loss records finds %s, not %s"
                            % (a["chain"], b["lost"], a["lost"]))
    return problems, cut_off


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--seconds", type=float, default=3)
    parser.add_argument("--load", type=int, default=3, help="busy loops beside the recordings")
    args = parser.parse_args()
    loops = [subprocess.Popen(["sh", "-c", "while :; do :; done"]) for _ in range(args.load)]
    failed = cut_offs = 0
    try:
        for run in range(args.runs):
            with tempfile.TemporaryDirectory(prefix="ravik-loss-") as folder:
                problems, cut_off = check_run(args.build, args.seconds, folder)
            cut_offs += cut_off
            failed += bool(problems)
            print("run %2d: %s%s" % (run + 1, "; ".join(problems) or "ok",
                                      ", the stop cut off a restart" if cut_off else ""))
    finally:
        for loop in loops:
            loop.kill()
            loop.wait()
    print("%d of %d runs failed; the stop cut off a restart in %d" % (failed, args.runs, cut_offs))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
