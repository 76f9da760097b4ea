#!/usr/bin/env python3
"""Per-channel counts and a correlation histogram of a Ravik HDF5 output, with Dask.

The file is read block by block (one HDF5 chunk, 2^20 records, by default): every task opens
the file by its path, reads its block and returns small partial results, which Dask adds up.
No task holds more than a block and its neighbourhood, so a recording larger than memory is
fine, and the same script runs on a Dask cluster whose workers see the file at the same path
(and have ravik.py installed):

    python3 dask_counts.py run.h5 --a 1 --b 6 --window 10000 --bin-width 100
    python3 dask_counts.py /shared/run.h5 --a 1 --b 6 --scheduler tcp://scheduler:8786

Prints the records of every channel, then the histogram of the delays time(b) - time(a)
within +-window, one line per bin: its lower edge in ps and its count.
"""
import argparse
import os
import sys

import dask
import h5py
import numpy as np

# ravik.py from this checkout, else the installed one (workers of a cluster need it installed).
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import ravik  # noqa: E402

BLOCK = 1 << 20


def _read(path, start, stop):
    with h5py.File(path, "r") as f:
        data = f["photon_data"]
        return data["timestamps"][start:stop], data["detectors"][start:stop]


def _count_block(path, start, stop):
    _, channels = _read(path, start, stop)
    values, counts = np.unique(channels, return_counts=True)
    return dict(zip(values.tolist(), counts.tolist()))


def _add_counts(parts):
    total = {}
    for part in parts:
        for channel, count in part.items():
            total[channel] = total.get(channel, 0) + count
    return total


def _times_of(f, channel, start, stop):
    data = f["photon_data"]
    return data["timestamps"][start:stop][data["detectors"][start:stop] == channel]


def _neighbours(f, channel, start, stop, size, before, after):
    """Times of `channel` just outside [start, stop) of the file, as far as they can lie within
    the window: read in growing steps until a time of the channel lies beyond the limit (the
    times of one channel come from one device, so they are in order)."""
    found = [_times_of(f, channel, start, stop)]
    step, lo = 4096, start
    while lo > 0:
        lo, hi = max(0, lo - step), lo
        times = _times_of(f, channel, lo, hi)
        found.insert(0, times)
        if len(times) and times[0] < before:
            break
        step *= 2
    step, hi = 4096, stop
    while hi < size:
        lo, hi = hi, min(size, hi + step)
        times = _times_of(f, channel, lo, hi)
        found.append(times)
        if len(times) and times[-1] > after:
            break
        step *= 2
    return np.concatenate(found)


def _histogram_block(path, start, stop, a, b, window, edges):
    with h5py.File(path, "r") as f:
        size = f["photon_data/timestamps"].shape[0]
        ta = _times_of(f, a, start, stop)
        if len(ta) == 0:
            return np.zeros(len(edges) - 1, np.int64)
        tb = _neighbours(f, b, start, stop, size, ta[0] - window, ta[-1] + window)
    return np.histogram(ravik.coincidences(ta, tb, window), bins=edges)[0]


def blocks(path, block=BLOCK):
    with h5py.File(path, "r") as f:
        size = f["photon_data/timestamps"].shape[0]
    return [(start, min(size, start + block)) for start in range(0, size, block)]


def channel_counts(path, block=BLOCK):
    """Delayed {channel: records} over the whole file."""
    parts = [dask.delayed(_count_block)(path, lo, hi) for lo, hi in blocks(path, block)]
    return dask.delayed(_add_counts)(parts)


def correlation(path, a, b, window, bin_width, block=BLOCK):
    """Bin edges (ps) and delayed counts of the delays time(b) - time(a) within +-window."""
    edges = np.arange(-window, window + bin_width + 1, bin_width, dtype=np.int64)
    parts = [dask.delayed(_histogram_block)(path, lo, hi, a, b, window, edges)
             for lo, hi in blocks(path, block)]
    return edges, dask.delayed(sum)(parts, np.zeros(len(edges) - 1, np.int64))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("file", help="an HDF5 output of ravik-merge or ravik-record")
    parser.add_argument("--a", type=int, default=1, help="first channel (default 1)")
    parser.add_argument("--b", type=int, default=6, help="second channel (default 6)")
    parser.add_argument("--window", type=int, default=10000, help="+- window in ps")
    parser.add_argument("--bin-width", type=int, default=100, help="histogram bin in ps")
    parser.add_argument("--block", type=int, default=BLOCK, help="records per task")
    parser.add_argument("--scheduler", help="address of a Dask scheduler (default: local)")
    args = parser.parse_args()
    if args.scheduler:
        from dask.distributed import Client

        Client(args.scheduler)
    edges, histogram = correlation(args.file, args.a, args.b, args.window, args.bin_width,
                                   args.block)
    counts, histogram = dask.compute(channel_counts(args.file, args.block), histogram)
    print("channel records")
    for channel in sorted(counts):
        print(f"{channel} {counts[channel]}")
    print(f"delay_ps count  (time of channel {args.b} - time of channel {args.a})")
    for edge, count in zip(edges[:-1], histogram):
        print(f"{edge} {count}")


if __name__ == "__main__":
    main()
