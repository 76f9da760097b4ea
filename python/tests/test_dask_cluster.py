"""The Dask example against numpy over the whole file at once: block by block in this process on
a recording, with small blocks so that many pairs straddle a block boundary; and on a cluster of
two worker processes (distributed.LocalCluster), on a file of 20 M records, for a channel b that
is common, rare or absent (with b rare the old example searched towards both ends of the file
from every block)."""
import os
import shutil
import subprocess
import sys
import tempfile

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
                             check=True, capture_output=True, text=True).stdout.splitlines()
    split = next(i for i, line in enumerate(printed) if line.startswith("delay_ps"))
    counts = dict(map(int, line.split()) for line in printed[1:split])
    histogram = np.array([[int(v) for v in line.split()] for line in printed[split + 1:]])

    channels, expected = np.unique(records["channel"], return_counts=True)
    assert counts == dict(zip(channels.tolist(), expected.tolist()))
    edges = np.arange(-WINDOW, WINDOW + BIN + 1, BIN)
    delays = ravik.coincidences(records["time"][records["channel"] == 1],
                                records["time"][records["channel"] == b], WINDOW)
    np.testing.assert_array_equal(histogram[:, 0], edges[:-1])
    np.testing.assert_array_equal(histogram[:, 1], np.histogram(delays, bins=edges)[0])
    return histogram[:, 1].sum()


def test_counts_and_histogram_equal_numpy_on_the_whole_file(outputs):
    records = ravik.load(outputs["h5"])
    assert expect_numpy_counts(outputs["h5"], records, 6, "--block", "10007") > 100


@pytest.fixture(scope="module")
def cluster_file(tmp_path_factory):
    """The file (in memory where the machine has a tmpfs), its records, and a cluster."""
    distributed = pytest.importorskip("distributed")
    folder = tempfile.mkdtemp(dir="/dev/shm") if os.path.isdir("/dev/shm") else str(
        tmp_path_factory.mktemp("dask"))
    path = os.path.join(folder, "big.h5")
    try:
        make_file(path, RECORDS)
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster:
            yield path, ravik.load(path), cluster.scheduler_address
    finally:
        shutil.rmtree(folder)


@pytest.mark.parametrize("b", [6, 9, 12])  # common, rare, absent
def test_cluster_counts_and_histogram_equal_numpy(cluster_file, b):
    path, records, scheduler = cluster_file
    assert len(records) == RECORDS
    total = expect_numpy_counts(path, records, b, "--scheduler", scheduler)
    assert (total > 1000) == (b == 6)


def test_a_file_not_in_time_order_is_refused(tmp_path):
    path = str(tmp_path / "unsorted.h5")
    make_file(path, 1000)
    with h5py.File(path, "a") as f:
        f["user/ravik/sorted"][()] = 0
    done = subprocess.run([sys.executable, EXAMPLE, path], capture_output=True, text=True)
    assert done.returncode != 0 and "not marked as in time order" in done.stderr
