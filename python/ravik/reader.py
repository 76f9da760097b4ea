"""Reading Ravik's outputs into numpy.

    import ravik
    rec = ravik.load("run.h5")          # or run.txt, run.bin: fields "time" (ps) and "channel"
    delays = ravik.coincidences(rec["time"][rec["channel"] == 1],
                                rec["time"][rec["channel"] == 6], 5000)

Needs numpy only; HDF5 outputs also need h5py.
"""
import json
import os

import numpy as np

#: One record: the time in picoseconds on the chain's common time axis and the output channel.
RECORD = np.dtype([("time", "<i8"), ("channel", "<i2")])

_BINARY_MAGIC = b"TIKORBIN"
_HDF5_MAGIC = b"\x89HDF\r\n\x1a\n"
_HEADER_SIZE = 64


def _kind(path):
    with open(path, "rb") as f:
        start = f.read(8)
    if start == _HDF5_MAGIC:
        return "hdf5"
    if start == _BINARY_MAGIC:
        return "binary"
    return "text"


def _binary_extent(path):
    """First byte and end of the records of a binary output.

    The trailer (a second header after the last record) gives the end when it is there and
    says it lies at the end of the file; otherwise the whole records up to the file's end are
    taken, as after an interrupted write.
    """
    size = os.path.getsize(path)
    with open(path, "rb") as f:
        header = f.read(_HEADER_SIZE)
        first = int.from_bytes(header[12:16], "little")
        record_size = int.from_bytes(header[20:24], "little")
        if first < _HEADER_SIZE or record_size != RECORD.itemsize:
            raise ValueError(f"{path}: not a binary output of 10-byte records")
        if size >= first + _HEADER_SIZE:
            f.seek(size - _HEADER_SIZE)
            trailer = f.read(_HEADER_SIZE)
            offset = int.from_bytes(trailer[24:32], "little", signed=True)
            if trailer[:8] == _BINARY_MAGIC and offset == size - _HEADER_SIZE:
                return first, offset
    return first, first + (size - first) // RECORD.itemsize * RECORD.itemsize


def _load_binary(path):
    first, end = _binary_extent(path)
    count = (end - first) // RECORD.itemsize
    if count == 0:
        return np.zeros(0, RECORD)
    # Mapped, not read: a file larger than memory loads at once and pages in as it is used.
    return np.memmap(path, RECORD, mode="r", offset=first, shape=(count,))


def _load_text(path):
    columns = np.loadtxt(path, delimiter=",", dtype=np.int64, ndmin=2)
    records = np.zeros(len(columns), RECORD)
    if len(columns):
        records["time"] = columns[:, 0]
        records["channel"] = columns[:, 1]
    return records


def _load_hdf5(path):
    import h5py  # only needed for HDF5 outputs

    with h5py.File(path, "r") as f:
        data = f["photon_data"]
        unit = float(data["timestamps_specs/timestamps_unit"][()])
        records = np.zeros(data["timestamps"].shape[0], RECORD)
        records["time"] = data["timestamps"][:]
        records["channel"] = data["detectors"][:]
    # Other writers of the format may count in coarser units; times are returned in ps.
    scale = unit / 1e-12
    if round(scale) < 1 or abs(scale - round(scale)) > 1e-6 * scale:
        raise ValueError(f"{path}: timestamps unit {unit} s is not a whole number of ps")
    if round(scale) != 1:
        records["time"] *= int(round(scale))
    return records


def load(path):
    """The records of a text, binary or HDF5 output as a structured array (time, channel)."""
    return {"hdf5": _load_hdf5, "binary": _load_binary, "text": _load_text}[_kind(path)](path)


def report(path):
    """The run report of an output as a dict.

    An HDF5 output holds it in /user/ravik/report; for a text or binary output it is the JSON
    file beside it, with the output's extension replaced by .json (a .json path is read as is).
    """
    if path.endswith(".json"):
        with open(path) as f:
            return json.load(f)
    if _kind(path) == "hdf5":
        import h5py

        with h5py.File(path, "r") as f:
            return json.loads(f["user/ravik/report"][()].decode())
    name = os.path.splitext(path)[0] + ".json"
    if not os.path.exists(name):
        raise FileNotFoundError(f"{path}: no run report beside it ({name})")
    with open(name) as f:
        return json.load(f)


def coincidences(a, b, window_ps):
    """The delays b - a (ps) of every pair of times with |b - a| <= window_ps.

    `a` and `b` are arrays of times, for example the times of two channels; they are sorted
    first when they are not. len() of the result is the number of coincidences, and
    np.histogram of it the correlation histogram.
    """
    a = np.asarray(a, dtype=np.int64)
    b = np.asarray(b, dtype=np.int64)
    if len(a) > 1 and np.any(a[1:] < a[:-1]):
        a = np.sort(a)
    if len(b) > 1 and np.any(b[1:] < b[:-1]):
        b = np.sort(b)
    # For each time of a, the times of b within the window form one run [lo, hi) of b.
    lo = np.searchsorted(b, a - window_ps, side="left")
    hi = np.searchsorted(b, a + window_ps, side="right")
    counts = hi - lo
    total = int(counts.sum())
    which_a = np.repeat(np.arange(len(a)), counts)
    run_start = np.repeat(np.cumsum(counts) - counts, counts)
    which_b = np.repeat(lo, counts) + (np.arange(total) - run_start)
    return b[which_b] - a[which_a]
