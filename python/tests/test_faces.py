"""One recording through the three faces: a kept run of the simulated chain, replayed to its end
through the window (its buttons, in window_driver), ravik-record and ravik.Chain, gives the same
text and binary bytes, HDF5 datasets and run report."""
import glob
import json
import os
import re
import shutil
import signal
import subprocess
import time

import h5py
import numpy as np
import pytest

import ravik

from conftest import BUILD, program, sim_env

# The report's fields that name the program or say when (and how full the disks were then):
# everything else must be equal.
TIMES = ("program", "start_utc", "stop_utc", "merge_start_utc", "merge_stop_utc", "utc_offset",
         "hdf5_creation_time", "free_space")
# The HDF5 file's: the program in its description and software, when it was made, and how long
# the recording ran by the clock (at least the span of its records, but Stop comes when it comes).
H5_TIMES = ("/description", "/identity/software", "/provenance/software",
            "/identity/creation_time", "/provenance/creation_time",
            "/provenance/modification_time", "/acquisition_duration")

# name: simulator variables of the recording replayed, enabled markers, five-channel mode.
ROWS = {
    "default": ({}, 0, False),
    "five-channel": ({}, 0, True),
    "all markers": ({}, 0x1FF, False),
    # Library index 0 (slave 1) loses data 250 ms into the recording, and its replay raises
    # the loss flag where its stream restarts.
    "device loss": ({"DATA_LOSS": "0"}, 0, False),
    "1 device": ({"DEVICES": "1"}, 0, False),
    "8 devices": ({"DEVICES": "8"}, 0, False),
    "parts": ({}, 0, False),
}
# The rows whose outputs are split: a part's span in seconds (the run has some 0.4 s of data).
SPLIT = {"parts": 0.1}


def replayed_run(tmp_path, variables, params):
    """A kept run of 0.4 s of the simulated chain, recorded with `params` on every device."""
    src = tmp_path / "source"
    src.mkdir()
    (src / "params.json").write_text(json.dumps(params))
    run = subprocess.run([program("ravik-record"), "-s", "--seconds", "0.4", "--quiet",
                          "--keep-raw", "--tmp", str(src), "--bin", str(src / "run.bin"),
                          "--params", str(src / "params.json")],
                         env=sim_env(SEED="7", RATES="5000", **variables), capture_output=True,
                         text=True)
    assert run.returncode in (0, 5), run.stderr
    (folder,) = glob.glob(str(src / "ravik-*"))
    return folder


def whole(replayed, tmp):
    """Every raw stream of the run folder `replayed` is in a temp file under `tmp` at least as
    long: its device has delivered all of it (a replay sends only time advances after its end)."""
    streams = glob.glob(os.path.join(replayed, "ravik-*.tmp"))
    got = {os.path.basename(f): os.path.getsize(f)
           for f in glob.glob(os.path.join(tmp, "**", "ravik-*.tmp"), recursive=True)}
    return all(got.get(os.path.basename(f), -1) >= os.path.getsize(f) for f in streams)


def wait_whole(replayed, tmp, sleep):
    for _ in range(6000):
        if whole(replayed, tmp):
            return
        sleep(0.02)
    pytest.fail("the replay did not reach the temp files")


def record_window(replayed, outputs, tmp, params, env, split):
    work = tmp.parent / "window-settings"
    (work / "config" / "Vorlink").mkdir(parents=True, exist_ok=True)
    (work / "config" / "Vorlink" / "Ravik.conf").write_text(
        f"[General]\nsplitTime={split}\n" if split else "")
    run = subprocess.run([os.path.join(BUILD, "tests", "window_driver"), str(work),
                          hex(params["markers"]), str(tmp)] + outputs +
                         ["1" if params["five_channel"] else "0"],
                         env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr


def record_cli(replayed, outputs, tmp, params, env, split):
    child = subprocess.Popen([program("ravik-record"), "-s", "--quiet", "--tmp", str(tmp),
                              "--text", outputs[0], "--bin", outputs[1], "--hdf5", outputs[2],
                              "--params", os.path.join(replayed, "..", "params.json")] +
                             (["--split-time", str(split)] if split else []),
                             env=env, stderr=subprocess.PIPE, text=True)
    try:
        wait_whole(replayed, tmp, lambda seconds: time.sleep(seconds) if child.poll() is None
                   else pytest.fail(child.stderr.read()))
    finally:
        child.send_signal(signal.SIGINT)
    _, err = child.communicate(timeout=120)
    assert child.returncode in (0, 5), err


def record_python(replayed, outputs, tmp, params, env, split):
    with pytest.MonkeyPatch.context() as patch:
        for name in [k for k in os.environ if k.startswith("RAVIK_SIM_")]:
            patch.delenv(name)
        for name, value in env.items():
            if name.startswith("RAVIK_SIM_"):
                patch.setenv(name, value)
        with ravik.Chain(simulate=True) as chain:
            for device in chain.devices:
                chain.set_parameters(device["chain"], params)
            chain.start(text=outputs[0], bin=outputs[1], hdf5=outputs[2], tmp=tmp,
                        split_time=split)
            wait_whole(replayed, tmp, chain.sleep)
            chain.stop()


FACES = {"ravik-record": record_cli, "python": record_python, "window": record_window}
RECORDED = {}  # row: {face: folder of its outputs}


def recorded(row, tmp_path_factory):
    """The row's run replayed through every face, once for all tests of the row. Every face writes
    the same names into the same folders, so that the paths the outputs and reports hold are the
    same; each face's outputs are then moved aside."""
    if row in RECORDED:
        return RECORDED[row]
    base = tmp_path_factory.mktemp("faces")
    variables, markers, five = ROWS[row]
    params = {"markers": markers, "five_channel": five}
    replayed = replayed_run(base, variables, params)
    replay = {"REPLAY": replayed}
    if "DATA_LOSS" in variables:
        replay["REPLAY_LOSS"] = variables["DATA_LOSS"]
    out, tmp = base / "out", base / "tmp"
    outputs = [str(out / name) for name in ("run.txt", "run.bin", "run.h5")]
    for face, record in FACES.items():
        out.mkdir()
        tmp.mkdir()
        record(replayed, outputs, tmp, params, sim_env(**replay), SPLIT.get(row))
        os.rename(out, base / face)
        shutil.rmtree(tmp)
    RECORDED[row] = {face: str(base / face) for face in FACES}
    return RECORDED[row]


def same_run_folder(text):
    """`text` without the random name of a recording's own temp folder: the programs put their
    raw files in a folder of the run's own, the window names its temp files in the temp folder
    itself (ravik-<index>.tmp), as its device rows always have."""
    return re.sub(r"/ravik-[A-Za-z0-9]{6}/", "/", text)


def flat(value, path=""):
    """The values in a JSON value by their paths in it, e.g. devices[0].lost."""
    if isinstance(value, dict):
        items = [(f"{path}.{k}" if path else k, v) for k, v in value.items()]
    elif isinstance(value, list):
        items = [(f"{path}[{i}]", v) for i, v in enumerate(value)] or [(path, "[]")]
    else:
        return {path: same_run_folder(value) if isinstance(value, str) else value}
    return {k: v for key, item in items for k, v in flat(item, key).items()}


def report_facts(report):
    """A run report's values by path but the fields that name the program and the times, and
    which of those it has."""
    facts = flat({k: v for k, v in report.items() if k not in TIMES})
    facts[" with the fields"] = [k for k in TIMES if k in report]
    return facts


def h5_content(path):
    """Every dataset of the HDF5 file by path but those that name the program or say when; the
    run report it holds as its facts."""
    content = {}

    def take(name, node):
        if isinstance(node, h5py.Dataset) and "/" + name not in H5_TIMES:
            value = node[()]
            if value.dtype.kind == "S":
                value = np.char.decode(value) if value.shape else value.decode()
            content["/" + name] = value
    with h5py.File(path, "r") as f:
        f.visititems(take)
        content[" with the fields"] = [t for t in H5_TIMES if t in f]
    for key, value in report_facts(json.loads(content.pop("/user/ravik/report"))).items():
        content["/user/ravik/report " + key] = value
    files = content["/user/ravik/sources/filename_full"]
    content["/user/ravik/sources/filename_full"] = [same_run_folder(str(f)) for f in files]
    return content


def differences(base, other):
    """What differs between the outputs in the folders `base` and `other`, as lines."""
    names = sorted(os.listdir(base))
    if sorted(os.listdir(other)) != names:
        return [f"files {names} against {sorted(os.listdir(other))}"]
    found = []
    for name in names:
        a, b = os.path.join(base, name), os.path.join(other, name)
        if name.endswith(".h5"):
            x, y = h5_content(a), h5_content(b)
            found += [f"{name}{k}: {x.get(k, '<none>')!r} against {y.get(k, '<none>')!r}"
                      for k in sorted(set(x) | set(y))
                      if k not in x or k not in y or not np.array_equal(x[k], y[k])]
        elif name.endswith(".json"):
            x, y = (report_facts(json.load(open(p))) for p in (a, b))
            found += [f"{name} {k}: {x.get(k)!r} against {y.get(k)!r}"
                      for k in sorted(set(x) | set(y)) if x.get(k) != y.get(k)]
        elif open(a, "rb").read() != open(b, "rb").read():
            found.append(f"{name}: the bytes differ")
    return found


@pytest.mark.parametrize("face", ["python", "window"])
@pytest.mark.parametrize("row", list(ROWS))
def test_a_face_records_what_ravik_record_does(tmp_path_factory, row, face):
    faces = recorded(row, tmp_path_factory)
    report = json.load(open(os.path.join(faces["ravik-record"], "run.json")))
    lost = [d["index"] for d in report["devices"] if d["lost"]]
    assert lost == ([0] if "DATA_LOSS" in ROWS[row][0] else []) and report["records"] > 0
    found = differences(faces["ravik-record"], faces[face])
    assert not found, "\n".join(found)


def test_a_kept_run_gets_the_same_recovery_command(tmp_path):
    """A merge that fails (a full disk) keeps the run; both faces tell the same command, quoted
    for the shell (the temp folder's name has a space)."""
    commands = []
    for face in ("ravik-record", "python"):
        tmp = tmp_path / face / "temp files"
        tmp.mkdir(parents=True)
        if face == "python":
            with ravik.Chain(simulate=True) as chain:
                chain.start(bin="/dev/full", tmp=tmp)
                chain.sleep(0.2)
                with pytest.raises(RuntimeError) as told:
                    chain.stop()
            text = str(told.value)
        else:
            text = subprocess.run([program("ravik-record"), "-s", "--seconds", "0.2", "--quiet",
                                   "--bin", "/dev/full", "--tmp", str(tmp)], env=sim_env(),
                                  capture_output=True, text=True).stderr
        (kept,) = glob.glob(str(tmp / "ravik-*"))
        command = re.search(r"ravik-merge --recover [^\n)]*", text).group(0)
        commands.append(command.replace(kept, "RUN"))
    assert commands == ["ravik-merge --recover 'RUN'"] * 2
