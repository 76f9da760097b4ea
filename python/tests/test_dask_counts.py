"""The Dask example, block by block, against numpy over the whole file at once."""
import os
import subprocess
import sys

import numpy as np

import ravik

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples",
                       "dask_counts.py")


def test_counts_and_histogram_equal_numpy_on_the_whole_file(outputs):
    # Small blocks, so that many pairs straddle a block boundary.
    printed = subprocess.run([sys.executable, EXAMPLE, outputs["h5"], "--a", "1", "--b", "6",
                              "--window", "4000", "--bin-width", "250", "--block", "10007"],
                             check=True, capture_output=True, text=True).stdout.splitlines()
    split = next(i for i, line in enumerate(printed) if line.startswith("delay_ps"))
    counts = dict(map(int, line.split()) for line in printed[1:split])
    histogram = np.array([[int(v) for v in line.split()] for line in printed[split + 1:]])

    records = ravik.load(outputs["h5"])
    channels, expected = np.unique(records["channel"], return_counts=True)
    assert counts == dict(zip(channels.tolist(), expected.tolist()))
    edges = np.arange(-4000, 4000 + 250 + 1, 250)
    delays = ravik.coincidences(records["time"][records["channel"] == 1],
                                records["time"][records["channel"] == 6], 4000)
    np.testing.assert_array_equal(histogram[:, 0], edges[:-1])
    np.testing.assert_array_equal(histogram[:, 1], np.histogram(delays, bins=edges)[0])
    assert histogram[:, 1].sum() > 100
