"""The HDF5 output as analysis code takes it: timestamps in time order with markers and loss
records on every device, those channels marked as non-photon ids, every channel named, and the
user's metadata from --meta, each node with the TITLE of the format's field list; and the file
as PyTables, on which the format's reference reader is built, reads it. Each of it also with the
columns compressed by --compress fast, read through hdf5plugin."""
import json
import subprocess
import warnings

import h5py
import hdf5plugin  # noqa: F401 (the filters of --compress fast, where h5py lacks them)
import numpy as np
import pytest
import tables

import ravik
from conftest import check_field_list, program, sim_env

META = {"description": "Two-colour test run", "identity": {"author": "A. Physicist",
                                                          "author_affiliation": "Some Lab"},
        "sample": {"sample_name": "dsDNA 12 bp"},
        "setup": {"excitation_wavelengths": [5.32e-7], "detection_wavelengths": [5.8e-7, 6.8e-7]}}

# What the format's reference validator warns about when it is missing.
WARNED = ["/setup/excitation_wavelengths", "/setup/detection_wavelengths", "/identity/author",
          "/identity/author_affiliation", "/photon_data/measurement_specs"]


@pytest.fixture(scope="module", params=[[], ["--compress", "fast"]], ids=["plain", "fast"])
def marked(tmp_path_factory, request):
    """A recording with every marker on every device, a device that loses data, loss records,
    --meta and a virtual channel, as text and HDF5 (uncompressed, or with --compress fast)."""
    d = tmp_path_factory.mktemp("marked")
    env = sim_env(DATA_LOSS="0")  # library index 0 loses 1 ms every 250 ms
    (d / "params.json").write_text(json.dumps({"markers": 0x1FF}))
    (d / "meta.json").write_text(json.dumps(META))
    (d / "v.json").write_text(json.dumps([{"type": "combined", "channels": [1, 6]}]))
    out = {"txt": str(d / "run.txt"), "h5": str(d / "run.h5"), "args": request.param}
    done = subprocess.run([program("ravik-record"), "-s", "--seconds", "0.8", "--quiet",
                           "--tmp", str(d), "--params", str(d / "params.json"), "--loss-records",
                           "--meta", str(d / "meta.json"), "--text", out["txt"],
                           "--hdf5", out["h5"], "--virtual", str(d / "v.json")] + request.param,
                          env=env, capture_output=True, text=True)
    assert done.returncode == 5, done.stderr  # written, but data were lost
    assert "out of time order" not in done.stderr
    return out


def test_timestamps_are_in_time_order_and_the_text_keeps_the_merge_order(marked):
    text = ravik.load(marked["txt"])
    hdf5 = ravik.load(marked["h5"])
    # Markers run ahead in the text output, as the merge writes them ...
    assert np.count_nonzero(np.diff(text["time"]) < 0) > 0
    # ... and are in their place in the HDF5 file; records of one time keep the merge's order.
    np.testing.assert_array_equal(hdf5, text[np.argsort(text["time"], kind="stable")])
    with h5py.File(marked["h5"], "r") as f:
        assert f["user/ravik/sorted"][()] == 1
        assert np.all(np.diff(f["photon_data/timestamps"][:]) >= 0)
        assert np.count_nonzero(f["photon_data/detectors"][:] >= 100) > 0  # markers, losses
        filters = {name: list(f["photon_data/" + name]._filters) for name in ("timestamps",
                                                                             "detectors")}
        compressed = "--compress" in marked["args"]
        assert filters == {"timestamps": ["32008"] * compressed, "detectors": ["32008"] * compressed}


def test_markers_and_losses_are_non_photon_ids_every_channel_is_named_and_losses_tabled(marked):
    report = ravik.report(marked["h5"])
    serials = {d["chain"]: d["serial"] for d in report["devices"]}
    with h5py.File(marked["h5"], "r") as f:
        detectors = f["photon_data/detectors"][:]
        measurement = f["photon_data/measurement_specs"]
        assert measurement["measurement_type"][()] == b"generic"
        markers = measurement["detectors_specs/non_photon_id1"][:]
        losses = measurement["detectors_specs/non_photon_id2"][:]
        table = f["setup/detectors"]
        ids, hardware = table["id"][:], table["id_hardware"][:]
        labels, modules = ([v.decode() for v in table[k][:]] for k in ("label", "module"))
        np.testing.assert_array_equal(ids, np.unique(detectors))
        np.testing.assert_array_equal(markers, ids[ids >= 100])
        np.testing.assert_array_equal(losses, ids[ids < 0])
        # The markers and the virtual channel; one device lost data.
        assert len(markers) == 9 * len(serials) + 1 and len(losses) == 2
        assert f["setup/num_pixels"][()] == np.count_nonzero((ids >= 0) & (ids < 100))
        for channel, label, module, own in zip(ids, labels, modules, hardware):
            if channel >= 30000:
                assert (channel, label, module, own) == (30000, "virtual: combined 1, 6", "virtual", -1)
                assert np.count_nonzero(detectors == 30000) == np.count_nonzero(np.isin(detectors, [1, 6]))
                continue
            if channel < 0:
                chain = (-channel - 1) // 2
                assert label == f"{serials[chain]} loss {'start' if channel % 2 else 'end'}"
                assert own == -1
            elif channel >= 100:
                base = 200 if channel >= 200 else 100
                chain, marker = divmod(channel - base, 5)
                assert label.startswith(f"{serials[chain]} marker "), label
                assert own == base + marker
            else:
                chain, own_input = divmod(channel, 5)
                assert label == f"{serials[chain]} input {own_input}"
                assert own == own_input
            assert module == serials[chain]
        assert "TK24072 input 1" in labels
        sources = f["user/ravik/sources"]
        assert [s.decode() for s in sources["serial"][:]] == [d["serial"] for d in report["devices"]]
        assert sources["chain"][:].tolist() == [d["chain"] for d in report["devices"]]
        assert sources["kept"][:].tolist() == [0] * len(serials)  # deleted after the merge
        times = f["photon_data/timestamps"]
        assert f["acquisition_duration"][()] >= 1e-12 * (times[-1] - times[0])
        assert report["hdf5_creation_time"].encode() == f["identity/creation_time"][()]
        assert report["utc_offset"][0] in "+-" and len(report["utc_offset"]) == 6
        # The losses of the recording are the loss table.
        lost = [(d["chain"], i["from_ps"], i["to_ps"], i["cause"].encode())
                for d in report["devices"] for i in d["lost"]]
        assert len(lost) >= 2
        assert [tuple(row) for row in f["user/ravik/loss_intervals"][:].tolist()] == lost


def test_meta_fills_what_the_validator_asks_for(marked):
    with h5py.File(marked["h5"], "r") as f:
        # Every node, those of the metadata, markers and loss records too, as the field list has it.
        assert not set(WARNED) - set(check_field_list(f))
        assert f["description"][()] == META["description"].encode()
        assert f["identity/author"][()] == b"A. Physicist"
        assert f["identity/author_affiliation"][()] == b"Some Lab"
        assert f["sample/sample_name"][()] == b"dsDNA 12 bp"
        np.testing.assert_array_equal(f["setup/excitation_wavelengths"][:], [5.32e-7])
        np.testing.assert_array_equal(f["setup/detection_wavelengths"][:], [5.8e-7, 6.8e-7])


@pytest.mark.parametrize("made", ["with --meta", "by ravik-record", "by ravik-merge"])
def test_pytables_reads_scalars_as_python_values_and_finds_the_setup(made, marked, outputs):
    path = {"with --meta": marked["h5"], "by ravik-record": outputs["h5"],
            "by ravik-merge": outputs["compressed"]}[made]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # PyTables names the nodes it did not write itself
        with tables.open_file(path) as f:
            scalars = [n for n in f.walk_nodes("/", "Leaf") if n.shape == ()]
            assert len(scalars) > 20
            for node in scalars:
                value = node.read()
                kind = node.dtype.kind
                assert isinstance(value, bytes if kind == "S" else float if kind == "f" else int), \
                    (node._v_pathname, type(value))
            type_path = "/photon_data/measurement_specs/measurement_type"
            assert f.get_node(type_path).read().decode() == "generic"
            sources = len(f.root.setup.excitation_alternated.read())
            assert list(f.root.setup.excitation_cw.read()) == [1] * sources
            assert f.root.setup.lifetime.read() == 0
