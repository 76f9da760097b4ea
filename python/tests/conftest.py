"""Outputs made by the built programs on simulated devices, shared by the tests, and the
check of an HDF5 output against the format's field list."""
import json
import os
import re
import subprocess
import sys

import h5py
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
