"""The Dask example against numpy over the whole file at once: block by block in this process on
a recording, with small blocks so that many pairs straddle a block boundary; and on a cluster of
two worker processes (distributed.LocalCluster), on a file of 20 M records, for a channel b that
is common, rare or absent (with b rare the old example searched towards both ends of the file
from every block); and following a split recording whose parts appear one by one, against numpy
on the parts put together."""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import h5py
import numpy as np
import pytest

import ravik

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples",
                       "dask_counts.py")
RECORDS = 20_000_000
WINDOW, BIN = 4000, 250


def make_file(path, records, seed=5):
    """A Ravik HDF5 output in miniature: timestamps in time order, about 1 ns apart, on channels
    1 (a), 2, 3 and 6 (b, common); 9 is rare and 12 never occurs."""
    rng = np.random.default_rng(seed)
    times = np.cumsum(rng.integers(1, 2000, records, dtype=np.int64))
    channels = rng.choice(np.array([1, 2, 3, 6], np.int16), records, p=[0.3, 0.3, 0.2, 0.2])
    channels[rng.choice(records, 40, replace=False)] = 9
    with h5py.File(path, "w") as f:
        data = f.create_group("photon_data")
        data.create_dataset("timestamps", data=times, chunks=(1 << 17,), maxshape=(None,))
        data.create_dataset("detectors", data=channels, chunks=(1 << 17,), maxshape=(None,))
        data.create_dataset("timestamps_specs/timestamps_unit", data=1e-12)
        f.create_dataset("user/ravik/sorted", data=1)


def expect_numpy_counts(path, records, b, *args):
    """Runs the example on `path` for channels 1 and `b` and compares what it prints with numpy's
    counts and histogram of `records`; returns the histogram's total."""
    printed = subprocess.run([sys.executable, EXAMPLE, path, "--a", "1", "--b", str(b),
                              "--window", str(WINDOW), "--bin-width", str(BIN), *args],
                             check=True, capture_output=True, text=True).stdout
    return expect_printed_numpy(printed, records, b)


def expect_printed_numpy(printed, records, b, window=WINDOW, bin_width=BIN):
    """Compares the example's output `printed` with numpy's counts and histogram of `records`
    (channels 1 and `b`); returns the histogram's total."""
    printed = printed.splitlines()
    split = next(i for i, line in enumerate(printed) if line.startswith("delay_ps"))
    counts = dict(map(int, line.split()) for line in printed[1:split])
    histogram = np.array([[int(v) for v in line.split()] for line in printed[split + 1:]])

    channels, expected = np.unique(records["channel"], return_counts=True)
    assert counts == dict(zip(channels.tolist(), expected.tolist()))
    edges = np.arange(-window, window + bin_width + 1, bin_width)
    delays = ravik.coincidences(records["time"][records["channel"] == 1],
                                records["time"][records["channel"] == b], window)
    np.testing.assert_array_equal(histogram[:, 0], edges[:-1])
    np.testing.assert_array_equal(histogram[:, 1], np.histogram(delays, bins=edges)[0])
    return histogram[:, 1].sum()


def test_counts_and_histogram_equal_numpy_on_the_whole_file(outputs):
    records = ravik.load(outputs["h5"])
    assert expect_numpy_counts(outputs["h5"], records, 6, "--block", "10007") > 100


@pytest.fixture(scope="module")
def cluster():
    """The address of a cluster of two worker processes."""
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as local:
        yield local.scheduler_address


@pytest.fixture(scope="module")
def cluster_file(tmp_path_factory, cluster):
    """The file (in memory where the machine has a tmpfs), its records, and a cluster."""
    folder = tempfile.mkdtemp(dir="/dev/shm") if os.path.isdir("/dev/shm") else str(
        tmp_path_factory.mktemp("dask"))
    path = os.path.join(folder, "big.h5")
    try:
        make_file(path, RECORDS)
        yield path, ravik.load(path), cluster
    finally:
        shutil.rmtree(folder)


@pytest.mark.parametrize("b", [6, 9, 12])  # common, rare, absent
def test_cluster_counts_and_histogram_equal_numpy(cluster_file, b):
    path, records, scheduler = cluster_file
    assert len(records) == RECORDS
    total = expect_numpy_counts(path, records, b, "--scheduler", scheduler)
    assert (total > 1000) == (b == 6)


LIMIT = 300  # s: only a hung follower comes near it
PAUSE = 0.2  # s between the steps of publishing


def hdf5_files(run):
    return [next(f["path"] for f in part["files"] if f["kind"] == "hdf5") for part in run["parts"]]


def publish(data, folder, name, pause=0.0):
    """Writes `data` into `folder` as a recording does: under a hidden name, renamed to `name`
    once complete."""
    hidden = os.path.join(folder, ".ravik-" + os.urandom(3).hex())
    with open(hidden, "wb") as f:
        f.write(data)
    time.sleep(pause)
    os.rename(hidden, os.path.join(folder, name))


def publish_run(run, folder, stem="run", parts=None, pause=0.0, done=None):
    """Publishes the HDF5 parts of `run` (the first `parts` of them, all by default) into
    `folder` under `stem`, one by one, then its report listing them; after part 3 waits until
    `done` (a threading.Event per part) says the follower has taken it."""
    listed = []
    for index, (part, path) in enumerate(zip(run["parts"][:parts], hdf5_files(run)), 1):
        name = f"{stem}-{index:04d}.h5"
        publish(open(path, "rb").read(), folder, name, pause)
        listed.append(dict(part, files=[{"kind": "hdf5", "path": os.path.join(folder, name)}]))
        if done and index == 3:
            assert done[index].wait(LIMIT), "the follower did not take part 3"
    publish(json.dumps(dict(run, parts=listed)).encode(), folder, stem + ".json", pause)


def follow(folder, *args):
    """Runs the example with --follow on `folder`; returns its process, the file of its
    standard output, and the list of its progress lines, which a thread fills, and one event
    per part, set when it has taken that part."""
    out = open(os.path.join(os.path.dirname(folder), "printed.txt"), "w+")
    process = subprocess.Popen([sys.executable, EXAMPLE, "--follow", folder, "--poll", "0.05",
                                *args], stdout=out, stderr=subprocess.PIPE, text=True)
    lines, done = [], [threading.Event() for _ in range(100)]

    def read():
        for line in process.stderr:
            lines.append(line)
            taken = re.match(r"part (\d+):", line)
            if taken:
                done[int(taken[1])].set()
        for event in done:  # it has ended: a publisher waits no more
            event.set()

    threading.Thread(target=read, daemon=True).start()
    return process, out, lines, done


def finish(process, out, lines):
    """What the follower printed once it has ended (it must end, and well)."""
    try:
        process.wait(LIMIT)
    except subprocess.TimeoutExpired:
        process.kill()
        pytest.fail("the follower did not end with the run:\n" + "".join(lines))
    assert process.returncode == 0, "".join(lines)
    with out:
        out.seek(0)
        return out.read()


# The parts of split_run appear one by one while the example follows the folder; a pair of 1
# and 6 straddles the empty part 2, one with the 4 ns window, others across the single record
# of part 4 with the 1 us window. The last row's folder holds an earlier run's two parts and its
# report too, which --stem run leaves aside.
@pytest.mark.parametrize("window, bin_width, on_cluster, stem, earlier", [
    (4000, 250, False, None, False),
    (1_000_000, 10_000, True, None, False),
    (4000, 250, False, "run", True),
])
def test_follow_counts_the_parts_as_they_appear_as_numpy_does_the_whole(
        request, split_run, tmp_path, window, bin_width, on_cluster, stem, earlier):
    folder = str(tmp_path / "run")
    os.mkdir(folder)
    if earlier:
        publish_run(split_run, folder, "old", parts=2)
    args = ["--a", "1", "--b", "6", "--window", str(window), "--bin-width", str(bin_width),
            "--block", "10007"]
    args += ["--scheduler", request.getfixturevalue("cluster")] if on_cluster else []
    args += ["--stem", stem] if stem else []
    process, out, lines, done = follow(folder, *args)
    publisher = threading.Thread(target=publish_run,
                                 kwargs=dict(run=split_run, folder=folder, pause=PAUSE, done=done))
    publisher.start()
    printed = finish(process, out, lines)
    publisher.join(LIMIT)
    assert len([line for line in lines if line.startswith("part ")]) == 5, "".join(lines)

    parts = [ravik.load(path) for path in hdf5_files(split_run)]
    records = np.concatenate(parts)
    total = expect_printed_numpy(printed, records, 6, window, bin_width)
    within = sum(len(ravik.coincidences(p["time"][p["channel"] == 1],
                                        p["time"][p["channel"] == 6], window)) for p in parts)
    assert total > within  # pairs straddle the parts


@pytest.mark.parametrize("make, args, message", [
    ("unsorted", [], "not marked as in time order"),
    (None, ["--follow", "/nonexistent/run"], "--follow /nonexistent/run: no such folder"),
    ("two runs", [], "holds the parts of several runs (old, run): choose one with --stem"),
])
def test_what_the_example_refuses(split_run, tmp_path, make, args, message):
    if make == "unsorted":
        path = str(tmp_path / "unsorted.h5")
        make_file(path, 1000)
        with h5py.File(path, "a") as f:
            f["user/ravik/sorted"][()] = 0
        args = [path]
    elif make == "two runs":
        publish_run(split_run, str(tmp_path), "old", parts=2)
        publish(open(hdf5_files(split_run)[0], "rb").read(), str(tmp_path), "run-0001.h5")
        args = ["--follow", str(tmp_path)]
    done = subprocess.run([sys.executable, EXAMPLE, *args], capture_output=True, text=True,
                          timeout=LIMIT)
    assert done.returncode != 0 and message in done.stderr
