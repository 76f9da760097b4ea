"""Outputs made by the built programs on simulated devices, shared by the tests."""
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


def program(name):
    path = os.path.join(BUILD, "cli", name)
    assert os.access(path, os.X_OK), f"{path} is not built (set RAVIK_BUILD to the build folder)"
    return path


@pytest.fixture(scope="session")
def outputs(tmp_path_factory):
    """One recording of the simulated chain as text, binary and HDF5, and its raw streams merged
    again by ravik-merge into a compressed HDF5 file."""
    d = tmp_path_factory.mktemp("run")
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAVIK_SIM_")}
    # Without timing jitter the correlated pairs lie exactly 2500 ps apart.
    env["RAVIK_SIM_JITTER_PS"] = "0"
    out = {kind: str(d / f"run.{kind}") for kind in ("txt", "bin", "h5")}
    subprocess.run([program("ravik-record"), "-s", "--seconds", "0.5", "--quiet", "--keep-raw",
                    "--tmp", str(d), "--text", out["txt"], "--bin", out["bin"],
                    "--hdf5", out["h5"]], env=env, check=True)
    with h5py.File(out["h5"], "r") as f:
        raw = [name.decode() for name in f["user/ravik/sources/filename_full"][:]]
    out["compressed"] = str(d / "compressed.h5")
    subprocess.run([program("ravik-merge"), "--quiet", "--compress", "--hdf5", out["compressed"]]
                   + raw, check=True)
    return out
