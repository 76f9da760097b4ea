#!/usr/bin/env python3
"""Per-channel counts and a correlation histogram of a Ravik HDF5 output, with Dask.

The file is read block by block (2^20 records, eight HDF5 chunks, by default): every task opens
the file by its path, reads its block and returns small partial results, which Dask adds up.
A task of the histogram also reads the records of the neighbouring blocks that lie within the
window of its own: the timestamps are in time order, so it finds them by their times, and the
cost stays linear in the file's size whatever the channels (a rare or absent channel included).
No task holds more than a block and its neighbourhood, so a recording larger than memory is
fine, and the same script runs on a Dask cluster whose workers see the file at the same path
(and have ravik installed):

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


def _first_at_or_after(times, start, limit):
    """Index of the first record at or before `start` whose time is at least `limit`: the file's
    timestamps are in time order, so the search reads back from `start` in growing steps only as
    far as the times reach, whatever the channels."""
    lo, step = start, 4096
    while lo > 0:
        begin = max(0, lo - step)
        part = times[begin:lo]
        if part[0] < limit:
            return begin + int(np.searchsorted(part, limit, side="left"))
        lo, step = begin, step * 2
    return 0


def _first_after(times, stop, limit, size):
    """Index of the first record at or after `stop` whose time is beyond `limit`."""
    hi, step = stop, 4096
    while hi < size:
        end = min(size, hi + step)
        part = times[hi:end]
        if part[-1] > limit:
            return hi + int(np.searchsorted(part, limit, side="right"))
        hi, step = end, step * 2
    return size


def _open(path):
    # A chunk cache for a few of the file's chunks (1 MiB each), so that the short reads at a
    # block's edges do not decompress a chunk again and again.
    return h5py.File(path, "r", rdcc_nbytes=16 << 20)


def _check_sorted(f, path):
    sorted_flag = f.get("user/ravik/sorted")
    if sorted_flag is None or sorted_flag[()] != 1:
        raise ValueError(f"{path}: the timestamps are not marked as in time order "
                         "(/user/ravik/sorted); write the file again with this version of Ravik")


def _histogram_block(path, start, stop, a, b, window, edges):
    with _open(path) as f:
        data = f["photon_data"]
        times, detectors = data["timestamps"], data["detectors"]
        block_times = times[start:stop]
        ta = block_times[detectors[start:stop] == a]
        if len(ta) == 0:
            return np.zeros(len(edges) - 1, np.int64)
        # The times of b that can pair with the block's times of a lie within the window of
        # them: the block and as much of its neighbours as the window reaches into.
        lo = _first_at_or_after(times, start, ta[0] - window)
        hi = _first_after(times, stop, ta[-1] + window, times.shape[0])
        near_times = np.concatenate([times[lo:start], block_times, times[stop:hi]])
        near_channels = detectors[lo:hi]
        tb = near_times[near_channels == b]
    return np.histogram(ravik.coincidences(ta, tb, window), bins=edges)[0]


def blocks(path, block=BLOCK):
    with h5py.File(path, "r") as f:
        _check_sorted(f, path)
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
