#!/usr/bin/env python3
"""How long ravik-record takes after the end of its recording until it has exited, outputs done.

Runs `ravik-record -s --seconds S --bin <tmp>/run.bin` (and --text with --text) on the simulated
chain, watches for the raw files to appear (the recording starts right after they are created),
and reads the recording's length from the summary. The tail is then

    exit time - (raw files created + recorded seconds)

Then checks that the kept raw files merged by ravik-merge give the same records.

    bench/record_tail.py BUILD_DIR [--seconds 6] [--rates 1e6] [--runs 3] [--text] [--quiet]
"""
import argparse
import glob
import os
import re
import subprocess
import sys
import tempfile
import time


def one_run(build, args, folder):
    out = os.path.join(folder, "run")
    command = [os.path.join(build, "cli/ravik-record"), "-s", "--seconds", str(args.seconds),
               "--bin", out + ".bin", "--tmp", folder, "--keep-raw"]
    if args.text:
        command += ["--text", out + ".txt"]
    env = dict(os.environ, RAVIK_SIM_RATES=args.rates)
    child = subprocess.Popen(command, env=env, stderr=subprocess.PIPE, text=True)
    created = None
    while child.poll() is None and created is None:
        if glob.glob(os.path.join(folder, "ravik-*", "ravik-*.tmp")):
            created = time.monotonic()
        else:
            time.sleep(0.0005)
    stderr = child.communicate()[1]
    ended = time.monotonic()
    recorded = re.search(r"recorded\s+([0-9.]+) s", stderr)
    # 5: done, but a device lost data (likely on a busy machine); the records still compare.
    if child.returncode not in (0, 5) or created is None or recorded is None:
        sys.exit("ravik-record failed (%s):\n%s" % (child.returncode, stderr))
    return ended - created - float(recorded.group(1)), stderr


def same_records(build, folder, stderr):
    """ravik-merge over the kept raw files gives the records ravik-record wrote."""
    raws = sorted(glob.glob(os.path.join(folder, "ravik-*", "ravik-*.tmp")))
    # Chain order from the summary: "Master <serial> index <i>", then the slaves.
    order = []
    for i in re.findall(r"index (\d+)", stderr):
        if int(i) in order:
            break
        order.append(int(i))
    folder_raw = os.path.dirname(raws[0])
    streams = ["%s/ravik-%d.tmp:%d" % (folder_raw, index, pos) for pos, index in enumerate(order)]
    again = os.path.join(folder, "again.bin")
    code = subprocess.run([os.path.join(build, "cli/ravik-merge"), "--quiet", "--bin", again] +
                          streams).returncode
    if code not in (0, 5):
        sys.exit("ravik-merge failed (%d)" % code)
    a = open(os.path.join(folder, "run.bin"), "rb").read()
    b = open(again, "rb").read()
    return len(a) == len(b) and a[64:-64] == b[64:-64], (len(a) - 128) // 10


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--seconds", type=float, default=6)
    parser.add_argument("--rates", default="1e6")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--text", action="store_true")
    args = parser.parse_args()
    tails = []
    for run in range(args.runs):
        with tempfile.TemporaryDirectory(prefix="ravik-tail-") as folder:
            tail, stderr = one_run(args.build, args, folder)
            same, records = same_records(args.build, folder, stderr)
            tails.append(tail)
            lost = "exit 5, data lost" in stderr or "loss yes" in stderr
            print("run %d: %d records%s, outputs done %.3f s after the end of the recording, "
                  "records %s ravik-merge's" % (run + 1, records, " (a device lost data)" if lost
                                                else "", tail,
                                                "equal to" if same else "DIFFERENT FROM"))
            if not same:
                sys.exit(1)
    print("best %.3f s, worst %.3f s" % (min(tails), max(tails)))


if __name__ == "__main__":
    main()
