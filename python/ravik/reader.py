"""Reading Ravik's outputs into numpy.

    import ravik
    rec = ravik.load("run.h5")          # or run.txt, run.bin: fields "time" (ps) and "channel"
    rec = ravik.load("run.json")        # a split run's parts, listed in its run report
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
    if os.path.getsize(path) == 0:  # a part without records
        return np.zeros(0, RECORD)
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


_READERS = {"binary": _load_binary, "hdf5": _load_hdf5, "text": _load_text}
_KINDS = tuple(_READERS)  # the order in which a report's kinds are preferred


def _concatenate(paths, kind=None):
    """The records of the files `paths`, one after the other; all of one kind (`kind` when
    given)."""
    kinds = []
    for path in paths:
        if not os.path.exists(path):
            raise FileNotFoundError(f"{path}: no such file")
        kinds.append(_kind(path))
    if len(set(kinds)) > 1:
        raise ValueError("the files are not all of one kind: "
                         + ", ".join(f"{p} ({k})" for p, k in zip(paths, kinds)))
    if kind is not None and kinds and kinds[0] != kind:
        raise ValueError(f"{paths[0]}: a {kinds[0]} file, not {kind}")
    if len(paths) == 1:
        return _READERS[kinds[0]](paths[0])
    return np.concatenate([np.zeros(0, RECORD)] + [_READERS[k](p) for p, k in zip(paths, kinds)])


def _report_files(run, kind, folder):
    """The paths of the files of one kind that hold a run's records, in order: its parts' files
    when it was split, else its outputs. A relative path (outputs are named as they were given)
    is taken from the current folder, or else beside the report, in `folder`."""
    if "parts" in run:
        groups = [(f"part {part['index']}", part["files"])
                  for part in sorted(run["parts"], key=lambda part: part["index"])]
    else:
        groups = [("the output", run.get("outputs", []))]
    offered = [{f["kind"]: f["path"] for f in files} for _, files in groups]
    if kind is None:
        common = [k for k in _KINDS if all(k in files for files in offered)]
        if not common:
            raise ValueError("the run report names no kind of file that every part of the run has")
        kind = common[0]
    elif kind not in _KINDS:
        raise ValueError(f"kind {kind!r}: one of {', '.join(_KINDS)}")
    paths = []
    for (name, _), files in zip(groups, offered):
        if kind not in files:
            raise ValueError(f"{name}: the run report names no {kind} file of it")
        path = files[kind]
        if not os.path.isabs(path) and not os.path.exists(path) and folder is not None:
            path = os.path.join(folder, os.path.basename(path))
        if not os.path.exists(path):
            raise FileNotFoundError(f"{path}: no such file ({name} of the run)")
        paths.append(path)
    return paths, kind


def load(source, kind=None):
    """The records of Ravik's outputs as one structured array of fields "time" (ps) and "channel".

    `source` is one of:
      - the path of a text, binary or HDF5 output (a binary one is mapped, not read);
      - a list or tuple of paths, the parts of a split recording in order (run-0001.bin,
        run-0002.bin, ...): their records one after the other, all files of one kind, else
        ValueError;
      - a run report, as the path of its .json file or as the dict that report() returns. Of a
        split run it loads the files of the parts the report lists, otherwise the outputs it
        names. `kind` ("binary", "hdf5" or "text") chooses which of them; by default the first
        of these kinds that every part (or the run) has. Relative output paths are taken from
        the current folder, or else beside the report file.

    A file that is not there is a FileNotFoundError naming it. Parts are read into memory as one
    array; given a path, `kind` must match the file's kind.
    """
    folder = None
    if isinstance(source, (str, os.PathLike)) and os.fspath(source).endswith(".json"):
        folder = os.path.dirname(os.path.abspath(os.fspath(source)))
        source = report(os.fspath(source))
    if isinstance(source, dict):
        source, kind = _report_files(source, kind, folder)
    elif isinstance(source, (str, os.PathLike)):
        source = [source]
    return _concatenate([os.fspath(path) for path in source], kind)


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
