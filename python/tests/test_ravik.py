"""The reader against real outputs (whole and split into parts), and the HDF5 output against the
format's field list."""
import json
import os
import re
import shutil
import subprocess

import h5py
import hdf5plugin  # noqa: F401 (the filters of --compress fast, where h5py lacks them)
import numpy as np
import pytest

import ravik
from conftest import check_field_list


def test_every_output_loads_to_the_same_records(outputs):
    text = ravik.load(outputs["txt"])
    assert len(text) > 10000
    for kind in ("bin", "h5", "compressed", "fast"):
        records = ravik.load(outputs[kind])
        assert records.dtype == ravik.RECORD, kind
        np.testing.assert_array_equal(records, text, err_msg=kind)


@pytest.mark.parametrize("cut, lost", [(0, 0), (64, 0), (64 + 5, 1), (64 + 10, 1)])
def test_binary_without_a_final_trailer_is_read_to_its_last_whole_record(outputs, tmp_path, cut,
                                                                          lost):
    whole = ravik.load(outputs["bin"])
    path = tmp_path / "cut.bin"
    data = open(outputs["bin"], "rb").read()
    path.write_bytes(data[:len(data) - cut])
    np.testing.assert_array_equal(ravik.load(str(path)), whole[:len(whole) - lost])


def files_of(run, kind):
    return [f["path"] for part in run["parts"] for f in part["files"] if f["kind"] == kind]


def changed(run, index, kind, gone=False):
    """A copy of the report `run` whose part `index` has no file of `kind`, or names it where
    none is (`gone`)."""
    run = json.loads(json.dumps(run))
    files = run["parts"][index - 1]["files"]
    for f in files:
        f["path"] = f["path"].replace("run-", "gone-") if f["kind"] == kind else f["path"]
    files[:] = [f for f in files if gone or f["kind"] != kind]
    return run


def report_file(folder, run, name="run.json"):
    path = folder / name
    path.write_text(json.dumps(run))
    return str(path)


def relative_outputs(outputs, folder):
    """The unsplit run's report in another folder, beside links to its outputs, naming them
    by relative paths (as ravik-record does when it is given such)."""
    run = ravik.report(outputs["bin"])
    for output in run["outputs"]:
        name = os.path.basename(output["path"])
        os.symlink(output["path"], folder / name)
        output["path"] = name
    return report_file(folder, run, "linked.json")


# What load() is given, and the unsplit output it equals.
@pytest.mark.parametrize("source, kind, same_as", [
    (lambda run, d, out: files_of(run, "binary"), None, "bin"),
    (lambda run, d, out: tuple(files_of(run, "hdf5")), None, "h5"),
    (lambda run, d, out: files_of(run, "text"), "text", "txt"),
    (lambda run, d, out: files_of(run, "hdf5")[:1], None, "h5-part-1"),
    (lambda run, d, out: run, None, "bin"),                                  # binary first
    (lambda run, d, out: report_file(d, run), "hdf5", "h5"),
    (lambda run, d, out: report_file(d, changed(run, 2, "binary")), None, "h5"),
    (lambda run, d, out: changed(changed(run, 3, "binary"), 1, "hdf5"), None, "txt"),
    (lambda run, d, out: os.path.splitext(out["bin"])[0] + ".json", "hdf5", "h5"),  # unsplit
    (lambda run, d, out: relative_outputs(out, d), None, "bin"),
])
def test_load_of_parts_or_a_report_equals_the_unsplit_output(outputs, split_run, tmp_path,
                                                             source, kind, same_as):
    if same_as == "h5-part-1":
        whole = ravik.load(outputs["h5"])[:split_run["parts"][0]["records"]]
    else:
        whole = ravik.load(outputs[same_as])
    records = ravik.load(source(split_run, tmp_path, outputs), kind=kind)
    assert records.dtype == ravik.RECORD
    np.testing.assert_array_equal(records, whole)


@pytest.mark.parametrize("source, kind, error, names", [
    (lambda run: files_of(run, "binary")[:2] + files_of(run, "hdf5")[2:], None, ValueError,
     "run-0003.h5 (hdf5)"),
    (lambda run: files_of(run, "hdf5"), "binary", ValueError, "run-0001.h5: a hdf5 file"),
    (lambda run: files_of(run, "binary") + ["gone.bin"], None, FileNotFoundError, "gone.bin"),
    (lambda run: changed(run, 4, "binary", gone=True), None, FileNotFoundError, "gone-0004.bin"),
    # Part 2 has no binary file, so the default is HDF5, of which part 4's is not there.
    (lambda run: changed(changed(run, 2, "binary"), 4, "hdf5", gone=True), None, FileNotFoundError,
     "gone-0004.h5"),
    (lambda run: changed(changed(run, 2, "binary"), 4, "hdf5"), "hdf5", ValueError,
     "part 4: the run report names no hdf5 file"),
    (lambda run: changed(changed(changed(run, 1, "binary"), 2, "hdf5"), 3, "text"), None,
     ValueError, "no kind of file that every part"),
])
def test_load_of_parts_refuses_what_does_not_make_one_run(split_run, source, kind, error, names):
    with pytest.raises(error, match=re.escape(names)):
        ravik.load(source(split_run), kind=kind)


def test_report_of_each_output(outputs, tmp_path):
    beside = ravik.report(outputs["bin"])  # run.json, written beside the outputs
    assert ravik.report(outputs["txt"]) == beside
    assert ravik.report(outputs["h5"])["devices"] == beside["devices"]
    for kind in ("h5", "compressed", "fast"):
        assert ravik.report(outputs[kind])["records"] == len(ravik.load(outputs[kind])), kind
    alone = tmp_path / "alone.bin"
    shutil.copy(outputs["bin"], alone)
    with pytest.raises(FileNotFoundError):
        ravik.report(str(alone))


@pytest.mark.parametrize("a, b, window, expected", [
    ([], [5], 10, []),
    ([100], [90, 100, 110, 111], 10, [-10, 0, 10]),    # the window's edges belong to it
    ([0, 5, 5], [5, 5], 0, [0, 0, 0, 0]),               # equal times pair with each other
    ([30, 10, 20], [25, 12], 5, [2, 5, -5]),            # unsorted input
])
def test_coincidences_are_every_pair_within_the_window(a, b, window, expected):
    assert sorted(ravik.coincidences(a, b, window).tolist()) == sorted(expected)


@pytest.mark.parametrize("kind", ["h5", "compressed", "fast"])
def test_hdf5_output_follows_the_field_list(outputs, kind):
    mandatory = ["/description", "/acquisition_duration", "/identity/format_name",
                 "/identity/format_version", "/identity/format_url", "/identity/software",
                 "/identity/software_version", "/identity/creation_time", "/setup/num_pixels",
                 "/setup/num_spots", "/setup/num_spectral_ch", "/setup/num_polarization_ch",
                 "/setup/num_split_ch", "/setup/modulated_excitation", "/setup/lifetime",
                 "/setup/excitation_alternated", "/photon_data/timestamps",
                 "/photon_data/detectors", "/photon_data/timestamps_specs/timestamps_unit"]
    with h5py.File(outputs[kind], "r") as f:
        assert not set(mandatory) - set(check_field_list(f))
        assert f["identity/format_name"][()] == b"Photon-HDF5"
        assert f["identity/format_version"][()] == b"0.5"
        assert f["photon_data/timestamps_specs/timestamps_unit"][()] == 1e-12
        times, detectors = f["photon_data/timestamps"], f["photon_data/detectors"]
        assert (times.dtype, detectors.dtype) == (np.dtype("<i8"), np.dtype("<i2"))
        # A chunk of each column fits the 1 MiB chunk cache that readers have by default, and is
        # large enough that a long recording does not become millions of chunks.
        assert len(times.chunks) == 1 and times.maxshape == (None,)
        assert 1 << 15 <= times.chunks[0] and times.chunks[0] * 8 <= 1 << 20
        assert detectors.chunks == times.chunks
        for column in (times, detectors):
            assert (column.compression, column.shuffle) == (("gzip", True) if kind == "compressed"
                                                            else (None, False))
        assert ("32008" in times._filters) == ("32008" in detectors._filters) == (kind == "fast")
        ids, counts = np.unique(detectors[:], return_counts=True)
        np.testing.assert_array_equal(f["setup/detectors/id"][:], ids)
        np.testing.assert_array_equal(f["setup/detectors/counts"][:], counts)
        assert f["setup/num_pixels"][()] == np.count_nonzero((ids >= 0) & (ids < 100))
        assert f["user/ravik/loss_intervals"].dtype.names == ("chain", "from_ps", "to_ps", "cause")
    subprocess.run(["h5dump", "-H", outputs[kind]], check=True, stdout=subprocess.DEVNULL)


# The peak fit on histograms of whole-ps delays: true offset, bin width, background pairs per
# bin. A peak on a bin edge, fine bins under a background, bins wider than the peak.
@pytest.mark.parametrize("delay, width, background", [(2500, 10, 0), (-1234, 1, 5), (777, 100, 2)])
def test_the_peak_fit_finds_the_offset_within_its_uncertainty(delay, width, background):
    from ravik.analysis import _peak

    rng = np.random.default_rng(abs(delay))
    edges = np.arange(-5000, 5001, width)
    pairs = np.rint(rng.normal(delay, 14, 20000))
    noise = rng.integers(-5000, 5000, background * (len(edges) - 1))
    found = _peak(np.histogram(np.concatenate([pairs, noise]), edges)[0], edges)
    assert abs(found.delay_ps - delay) < 3 * found.uncertainty_ps < 3 * max(1, width / 3)
    assert found.significance > 50 and abs(found.pairs - 20000) < 500
