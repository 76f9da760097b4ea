#!/usr/bin/env python3
"""How fast Chain.stream() delivers merged records into numpy.

The simulated chain records at its maximum rate for S seconds with a stream open but not read,
so the stream's queue fills and the merge waits for it, the rest staying in the raw files. Then
a second thread stops the recording while this one reads the stream to its end, summing each
block's channel column: the records read over the time from the stop to the end of the stream
is the rate at which the merge, the queue and the numpy blocks deliver records to Python. The
processor time of the reading loop alone (the sums and the taking of blocks) is given too.

    bench/bench_stream.py BUILD_DIR [--seconds 1] [--runs 3] [--tmp DIR]
"""
import argparse
import os
import sys
import tempfile
import threading
import time


def one_run(ravik, seconds, tmp):
    with ravik.Chain(simulate=True) as chain:
        chain.start(tmp=tmp)
        stream = chain.stream()
        chain.sleep(seconds)
        stopper = threading.Thread(target=chain.stop)
        start = time.monotonic()
        stopper.start()
        records = total = 0
        busy = 0.0
        for block in stream:
            t = time.thread_time()
            total += int(block["channel"].sum())
            records += len(block)
            busy += time.thread_time() - t
        elapsed = time.monotonic() - start
        stopper.join()
    return records, elapsed, busy, total


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", help="the build folder")
    parser.add_argument("--seconds", type=float, default=1.0, help="recording time of a run")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--tmp", default=tempfile.gettempdir(), help="where the raw files go")
    args = parser.parse_args()
    sys.path.insert(0, os.path.join(args.build, "python"))
    os.environ["RAVIK_SIM_MAX_RATE"] = "1"
    import ravik

    for run in range(args.runs):
        records, elapsed, busy, _ = one_run(ravik, args.seconds, args.tmp)
        print(f"run {run + 1}: {records / 1e6:.1f} M records in {elapsed:.2f} s after the stop: "
              f"{records / elapsed / 1e6:.1f} M records/s into numpy; the reading loop "
              f"{records / max(busy, 1e-9) / 1e6:.0f} M records per processor-second")


if __name__ == "__main__":
    main()
