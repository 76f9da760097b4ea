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

With --follow it analyses a recording while it goes on, split into parts (ravik-record
--split-time): it takes each HDF5 part run-0001.h5, run-0002.h5, ... as it appears in the folder
(a part appears under its name only once it is complete), and ends with the run, once the run
report in the folder lists the parts; then it prints the totals of the whole run:

    python3 dask_counts.py --follow /data/today --stem run --a 1 --b 6

The pairs of channels a and b that straddle two parts are counted too: the records of a and b
within the window of a part's end are carried over to the next part.
"""
import argparse
import json
import os
import re
import sys
import time

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


# A part of a split recording: its run's stem, a dash and its index of at least four digits.
PART = re.compile(r"(?P<stem>.+)-(?P<index>[0-9]{4,})")


def _part_of(path):
    """(stem, index) of a part's file name, or None."""
    name = os.path.basename(path)
    match = PART.fullmatch(os.path.splitext(name)[0])
    if name.startswith(".") or not match:
        return None
    return match["stem"], int(match["index"])


def hdf5_parts(folder):
    """{stem: {index: path}} of the HDF5 parts in the folder. A part being written has a hidden
    name (.ravik-XXXXXX) until it is complete, so it is never among them."""
    found = {}
    for name in os.listdir(folder):
        part = _part_of(name)
        if part and name.endswith(".h5"):
            found.setdefault(part[0], {})[part[1]] = os.path.join(folder, name)
    return found


def listed_parts(folder, stem):
    """{index: path} of the HDF5 parts that the run report of `stem` in the folder lists, or None
    while no such report is there. A report is a .json file with "program" and "parts" whose
    parts are of the stem; a listed part that is not at its path is taken from the folder."""
    for name in sorted(os.listdir(folder)):
        if name.startswith(".") or not name.endswith(".json"):
            continue
        try:
            with open(os.path.join(folder, name)) as f:
                run = json.load(f)
        except (OSError, ValueError):
            continue  # not a report (or the user's own file)
        if not isinstance(run, dict) or "program" not in run or "parts" not in run:
            continue
        parts = [_part_of(f["path"]) for part in run["parts"] for f in part["files"]]
        if run["parts"]:
            if stem not in {part[0] for part in parts if part}:
                continue
        elif name not in (stem + ".json", stem + ".report.json"):
            continue  # a run without parts: known by its report's name only
        listed = {}
        for part in run["parts"]:
            path = next((f["path"] for f in part["files"] if f["kind"] == "hdf5"), None)
            if path is None:
                raise SystemExit(f"{name}: part {part['index']} of the run has no HDF5 file")
            if not os.path.exists(path):
                path = os.path.join(folder, os.path.basename(path))
            listed[part["index"]] = path
        return listed
    return None


def _boundary(path, carry, a, b, window, edges):
    """The histogram of the pairs of a part's records with the records carried over from the
    parts before it, and the records to carry over to the next part.

    `carry` holds the times and channels of the records of a and b before the part that lie
    within the window of the latest time so far: as the parts follow one another in time, no
    earlier record can pair with a record of this part or a later one."""
    carry_times, carry_channels = carry
    cross = np.zeros(len(edges) - 1, np.int64)
    with _open(path) as f:
        data = f["photon_data"]
        times, detectors = data["timestamps"], data["detectors"]
        size = times.shape[0]
        if size == 0:
            return cross, carry
        if len(carry_times):
            hi = _first_after(times, 0, carry_times[-1] + window, size)
            head_times, head_channels = times[:hi], detectors[:hi]
            delays = np.concatenate([
                ravik.coincidences(carry_times[carry_channels == a],
                                   head_times[head_channels == b], window),
                ravik.coincidences(head_times[head_channels == a],
                                   carry_times[carry_channels == b], window)])
            cross = np.histogram(delays, bins=edges)[0]
        last = times[size - 1]
        lo = _first_at_or_after(times, size, last - window)
        tail_times, tail_channels = times[lo:size], detectors[lo:size]
    kept = carry_times >= last - window
    wanted = (tail_channels == a) | (tail_channels == b)
    return cross, (np.concatenate([carry_times[kept], tail_times[wanted]]),
                   np.concatenate([carry_channels[kept], tail_channels[wanted]]))


class Totals:
    """The counts and the histogram of the parts done so far, and the carry to the next part."""

    def __init__(self, a, b, window, bin_width, block):
        self.a, self.b, self.window, self.bin_width, self.block = a, b, window, bin_width, block
        self.edges = np.arange(-window, window + bin_width + 1, bin_width, dtype=np.int64)
        self.counts = {}
        self.histogram = np.zeros(len(self.edges) - 1, np.int64)
        self.carry = (np.zeros(0, np.int64), np.zeros(0, np.int16))

    def add(self, path):
        """Adds one part, the next after those added; returns its number of records."""
        _, histogram = correlation(path, self.a, self.b, self.window, self.bin_width, self.block)
        boundary = dask.delayed(_boundary)(path, self.carry, self.a, self.b, self.window,
                                           self.edges)
        counts, histogram, (cross, self.carry) = dask.compute(
            channel_counts(path, self.block), histogram, boundary)
        self.counts = _add_counts([self.counts, counts])
        self.histogram += histogram + cross
        return sum(counts.values())


def follow(folder, stem, totals, poll):
    """Adds the HDF5 parts of the run `stem` (None: the only one in the folder) to `totals` in
    index order, each as soon as it is there, until the run report lists them."""
    done = 0
    waiting = None
    while True:
        listed = listed_parts(folder, stem) if stem else None
        if listed is None:
            found = hdf5_parts(folder)
            if stem is None and len(found) > 1:
                raise SystemExit(f"{folder} holds the parts of several runs "
                                 f"({', '.join(sorted(found))}): choose one with --stem")
            if stem is None and found:
                stem = next(iter(found))
                continue
            available = found.get(stem, {})
        else:
            available = listed
        path = available.get(done + 1)
        if path is not None and os.path.exists(path):
            records = totals.add(path)
            done += 1
            print(f"part {done}: {path}, {records} records", file=sys.stderr, flush=True)
        elif listed is not None:
            if path is not None:
                raise SystemExit(f"{path}: part {done + 1} of the run, as its report lists it, "
                                 "is not there")
            if any(index > done for index in listed):
                raise SystemExit(f"the run report of {stem} lists no part {done + 1}")
            return
        else:
            if waiting != done + 1:
                waiting = done + 1
                print(f"waiting for part {waiting} of {stem or 'a run'} in {folder}",
                      file=sys.stderr, flush=True)
            time.sleep(poll)


def _print(counts, edges, histogram, a, b):
    print("channel records")
    for channel in sorted(counts):
        print(f"{channel} {counts[channel]}")
    print(f"delay_ps count  (time of channel {b} - time of channel {a})")
    for edge, count in zip(edges[:-1], histogram):
        print(f"{edge} {count}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("file", nargs="?", help="an HDF5 output of ravik-merge or ravik-record")
    parser.add_argument("--follow", metavar="RUN_FOLDER",
                        help="the folder of a split recording: take its HDF5 parts as they appear")
    parser.add_argument("--stem", help="with --follow: the run whose parts to take (STEM-0001.h5, "
                                       "...), when the folder holds several")
    parser.add_argument("--poll", type=float, default=1.0,
                        help="with --follow: seconds between looks into the folder (default 1)")
    parser.add_argument("--a", type=int, default=1, help="first channel (default 1)")
    parser.add_argument("--b", type=int, default=6, help="second channel (default 6)")
    parser.add_argument("--window", type=int, default=10000, help="+- window in ps")
    parser.add_argument("--bin-width", type=int, default=100, help="histogram bin in ps")
    parser.add_argument("--block", type=int, default=BLOCK, help="records per task")
    parser.add_argument("--scheduler", help="address of a Dask scheduler (default: local)")
    args = parser.parse_args()
    if (args.file is None) == (args.follow is None):
        parser.error("give either an HDF5 file or --follow RUN_FOLDER")
    if args.stem is not None and args.follow is None:
        parser.error("--stem needs --follow")
    if args.follow is not None and not os.path.isdir(args.follow):
        parser.error(f"--follow {args.follow}: no such folder")
    if args.scheduler:
        from dask.distributed import Client

        Client(args.scheduler)
    if args.follow is not None:
        totals = Totals(args.a, args.b, args.window, args.bin_width, args.block)
        follow(args.follow, args.stem, totals, args.poll)
        _print(totals.counts, totals.edges, totals.histogram, args.a, args.b)
        return
    edges, histogram = correlation(args.file, args.a, args.b, args.window, args.bin_width,
                                   args.block)
    counts, histogram = dask.compute(channel_counts(args.file, args.block), histogram)
    _print(counts, edges, histogram, args.a, args.b)


if __name__ == "__main__":
    main()
