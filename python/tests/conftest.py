"""Outputs made by the built programs on simulated devices, shared by the tests, the same
recording split into parts, and the check of an HDF5 output against the format's field list."""
import json
import os
import re
import subprocess
import sys

import h5py
import numpy as np
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get("RAVIK_BUILD", os.path.join(HERE, "..", "..", "build"))
# The package as built: the reader beside the compiled core.
sys.path.insert(0, os.path.join(BUILD, "python"))


def field_pattern(path):
    """The regular expression of a path of the format's field list: ?N and !M stand for
    optional numbers."""
    path = "/" + path.lstrip("/")
    return re.compile(re.escape(path).replace(r"\?N", r"\d*").replace("!M", r"\d*") + "$")


FIELDS = json.load(open(os.path.join(HERE, "photon-hdf5-fields.json")))
FIELD_PATTERNS = [(field_pattern(p), d, k) for p, (d, k) in FIELDS.items()]


def check_field_list(f):
    """Every node of the open file `f` but those under /user is in the field list, with its TITLE
    and of its kind; returns the paths of all nodes."""
    assert f.attrs["TITLE"] == FIELDS["/"][0].encode()
    seen = []

    def check(name, node):
        path = "/" + name
        seen.append(path)
        if path == "/user" or path.startswith("/user/"):
            return
        match = [(d, k) for p, d, k in FIELD_PATTERNS if p.match(path)]
        assert match, f"{path} is not in the field list"
        description, kind = match[0]
        assert node.attrs["TITLE"] == description.encode(), path
        if isinstance(node, h5py.Group):
            assert kind == "group", path
        elif kind == "string":
            assert node.shape == () and node.dtype.kind == "S", path  # fixed length, not vlen
        elif kind == "scalar":
            assert node.shape == () and node.dtype.kind in "iuf", path
        else:
            assert kind == "array" and len(node.shape) == 1, path

    f.visititems(check)
    return seen


def sim_env(**variables):
    """This process's environment with its RAVIK_SIM_* variables replaced by `variables` (named
    without the prefix)."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAVIK_SIM_")}
    env.update({"RAVIK_SIM_" + k: v for k, v in variables.items()})
    return env


def program(name):
    path = os.path.join(BUILD, "cli", name)
    assert os.access(path, os.X_OK), f"{path} is not built (set RAVIK_BUILD to the build folder)"
    return path


@pytest.fixture(scope="session")
def outputs(tmp_path_factory):
    """One recording of the simulated chain as text, binary and HDF5, and its raw streams merged
    again by ravik-merge into a compressed HDF5 file (--compress) and one compressed with
    --compress fast."""
    d = tmp_path_factory.mktemp("run")
    env = sim_env()
    out = {kind: str(d / f"run.{kind}") for kind in ("txt", "bin", "h5")}
    subprocess.run([program("ravik-record"), "-s", "--seconds", "0.5", "--quiet", "--keep-raw",
                    "--tmp", str(d), "--text", out["txt"], "--bin", out["bin"],
                    "--hdf5", out["h5"]], env=env, check=True)
    with h5py.File(out["h5"], "r") as f:
        raw = [name.decode() for name in f["user/ravik/sources/filename_full"][:]]
    out["compressed"] = str(d / "compressed.h5")
    subprocess.run([program("ravik-merge"), "--quiet", "--compress", "--hdf5", out["compressed"]]
                   + raw, check=True)
    out["fast"] = str(d / "fast.h5")
    subprocess.run([program("ravik-merge"), "--quiet", "--compress", "fast", "--hdf5", out["fast"]]
                   + raw, check=True)
    return out


def _hdf5_slice(source, target, lo, hi):
    """An HDF5 output with only the records lo..hi of `source`, its layout otherwise copied."""
    with h5py.File(source, "r") as src, h5py.File(target, "w") as dst:
        for name, value in src.attrs.items():
            dst.attrs[name] = value
        for name in src:
            if name != "photon_data":
                src.copy(src[name], dst, name)
        data = dst.create_group("photon_data")
        for name, value in src["photon_data"].attrs.items():
            data.attrs[name] = value
        for name, node in src["photon_data"].items():
            if name not in ("timestamps", "detectors"):
                src.copy(node, data, name)
                continue
            column = data.create_dataset(name, data=node[lo:hi], chunks=node.chunks,
                                         maxshape=(None,), compression=node.compression,
                                         shuffle=node.shuffle)
            for key, value in node.attrs.items():
                column.attrs[key] = value


def split_output(outputs, cuts, folder, stem="run", kinds=("bin", "h5", "txt")):
    """The recording `outputs` cut before the record indices `cuts` into the parts of a split
    run, stem-0001.bin, stem-0001.h5, stem-0001.txt, ... in `folder`; returns the run report
    that lists them (not written). Each cut must fall where the time changes."""
    with h5py.File(outputs["h5"], "r") as f:
        times = f["photon_data/timestamps"][:]
    bounds = [0] + [int(i) for i in cuts] + [len(times)]
    assert all(lo <= hi for lo, hi in zip(bounds, bounds[1:]))
    assert all(times[i - 1] != times[i] for i in cuts if 0 < i < len(times)), "cut in a time"
    binary = open(outputs["bin"], "rb").read()
    lines = open(outputs["txt"], "rb").readlines()
    run = json.load(open(os.path.splitext(outputs["bin"])[0] + ".json"))
    run["parts"] = []
    for index, (lo, hi) in enumerate(zip(bounds, bounds[1:]), 1):
        name = os.path.join(str(folder), f"{stem}-{index:04d}")
        files = []
        if "bin" in kinds:
            trailer = bytearray(binary[-64:])
            trailer[24:32] = (64 + 10 * (hi - lo)).to_bytes(8, "little", signed=True)
            with open(name + ".bin", "wb") as f:
                f.write(binary[:64] + binary[64 + 10 * lo:64 + 10 * hi] + trailer)
            files.append({"kind": "binary", "path": name + ".bin"})
        if "h5" in kinds:
            _hdf5_slice(outputs["h5"], name + ".h5", lo, hi)
            files.append({"kind": "hdf5", "path": name + ".h5"})
        if "txt" in kinds:
            with open(name + ".txt", "wb") as f:
                f.writelines(lines[lo:hi])
            files.append({"kind": "text", "path": name + ".txt"})
        run["parts"].append({"index": index, "records": hi - lo,
                             "first_ps": int(times[lo]) if hi > lo else None,
                             "last_ps": int(times[hi - 1]) if hi > lo else None, "files": files})
    return run


@pytest.fixture(scope="session")
def split_run(outputs, tmp_path_factory):
    """The recording of `outputs` split into five parts (binary, HDF5 and text files) and the
    run report listing them, with pairs of channels 1 and 6 straddling parts: part 1 ends with
    the 1 of a pair less than 4 ns apart, part 2 is empty, part 3 begins with the pair's 6; part
    4 is the single record between a 1 (the end of part 3) and a 6 (the start of part 5) less
    than 1 us apart."""
    with h5py.File(outputs["h5"], "r") as f:
        times = f["photon_data/timestamps"][:]
        channels = f["photon_data/detectors"][:]
    gap = np.diff(times)
    pairs = np.flatnonzero((channels[:-1] == 1) & (channels[1:] == 6) & (gap > 0)
                           & (gap <= 4000)) + 1
    around = np.flatnonzero((channels[:-2] == 1) & (channels[2:] == 6) & (gap[:-1] > 0)
                            & (gap[1:] > 0) & (times[2:] - times[:-2] <= 1_000_000)) + 1
    first = pairs[len(pairs) // 3]
    second = around[np.searchsorted(around, 2 * len(times) // 3)]
    assert first + 1 < second < len(times) - 1
    folder = tmp_path_factory.mktemp("parts")
    return split_output(outputs, [first, first, second, second + 1], folder)
