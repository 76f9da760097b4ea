"""The live chain from Python on the simulated devices: the measurements and the stream against
the binary output of the same run, parameters, errors, and Ctrl-C."""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import threading

import h5py
import hdf5plugin  # noqa: F401 (the filters of compress="fast", where h5py lacks them)
import numpy as np
import pytest

import ravik

from conftest import BUILD, program

@pytest.fixture(autouse=True)
def simulated(monkeypatch):
    for name in [k for k in os.environ if k.startswith("RAVIK_SIM_")]:
        monkeypatch.delenv(name)
    monkeypatch.setenv("RAVIK_SIM_SEED", "7")


def peak_ps(corr):
    """The centre of the correlation peak: the mean delay of the pairs within 50 ps of the
    fullest bin (the devices' timing jitter spreads the peak over a few bins)."""
    counts, edges = corr.data(), corr.bin_edges_ps()
    centres = (edges[:-1] + edges[1:]) / 2
    near = np.abs(centres - centres[np.argmax(counts)]) <= 50
    return np.sum(centres[near] * counts[near]) / np.sum(counts[near])


def test_measurements_and_stream_equal_the_binary_output(tmp_path):
    out = tmp_path / "run.bin"
    with ravik.Chain(simulate=True) as chain:
        devices = chain.devices
        assert [(d["chain"], d["role"]) for d in devices] == [
            (0, "Master"), (1, "Slave 1"), (2, "Slave 2")]
        assert all(d["serial"] and d["features"] for d in devices)
        # Markers on every device: the merge writes them ahead of earlier records, and the
        # records around them step back in time.
        for position in (0, 1, 2):
            chain.set_parameters(position, {"markers": 0x1F})
        corr = ravik.Correlation(chain, 1, 6, bin_width_ps=10, n_bins=2000)
        rate = ravik.CountRate(chain, [1, 6, 104])
        trace = ravik.TimeTrace(chain, [1, 6], bin_width_ps=10**9, n_bins=300)
        startstop = ravik.StartStop(chain, 1, 6, bin_width_ps=100, n_bins=500)
        coinc = ravik.Coincidences(chain, [[1, 6], [1, 6, 11], [6], [104, 109]],
                                   window_ps=5000)
        # A scan stepped by the master's ms tick through 3 rows, and a joint histogram.
        diffs = ravik.TimeDifferences(chain, 1, [6, 11], bin_width_ps=100, n_bins=400, next=104,
                                      n_histograms=3)
        joint = ravik.Histogram2D(chain, 1, 6, 11, bin_width1_ps=200, n_bins1=50,
                                  bin_width2_ps=100000, n_bins2=100)
        logc = ravik.LogCorrelation(chain, 1, 6, min_lag_ps=10, max_lag_ps=10**9,
                                    bins_per_decade=5)
        gated = ravik.CountBetweenMarkers(chain, 1, 104, n_values=7)  # gated by the ms tick
        chain.start(bin=out, tmp=tmp_path)
        streamed = []
        for block in chain.stream():
            assert block.dtype == ravik.RECORD
            streamed.append(block.copy())
            if sum(map(len, streamed)) >= 200000:
                break
        chain.sleep(0.5)
        report = chain.stop()
        assert not chain.recording

    rec = np.asarray(ravik.load(str(out)))
    streamed = np.concatenate(streamed)
    assert report["completed"] and report["records"] == len(rec) > len(streamed)
    assert report["program"] == "ravik-python"
    assert sum(d["records"] for d in report["devices"]) == len(rec)
    assert json.loads(out.with_suffix(".json").read_text())["records"] == len(rec)
    assert os.listdir(tmp_path) == ["run.bin", "run.json"]  # the raw files went with the merge

    # The stream gave the first records of the run, in merge order.
    assert np.array_equal(streamed, rec[:len(streamed)])

    for m in (corr, rate, trace, startstop, coinc, diffs, joint, logc, gated):
        assert not m.overflowed
        assert m.span_ps == rec["time"].max() - rec["time"].min()
    counts = np.array([np.count_nonzero(rec["channel"] == c) for c in (1, 6, 104)])
    assert counts[2] > 0  # the master's ms tick
    assert np.array_equal(rate.counts(), counts)
    assert np.allclose(rate.data(), counts / (rec["time"].max() - rec["time"].min()) * 1e12,
                       rtol=1e-12)

    # What each measurement makes of the records is test_measurements' (C++); here, that the
    # records reach every one of them through its keywords, as arrays of the given shapes.
    assert corr.data().shape == corr.normalized().shape == (2000,)
    assert len(corr.bin_edges_ps()) == 2001 and corr.bin_edges_ps()[0] == -10000
    assert corr.data().sum() > 0 and abs(peak_ps(corr) - 2500) < 5
    assert corr.count_a == counts[0] and corr.count_b == counts[1]
    assert trace.data().shape == (2, 300) and trace.data().sum() > 0
    assert startstop.data().shape == (500,) and startstop.data().sum() > 0
    assert coinc.data().shape == (4,) and coinc.data()[0] > 0

    # The scan and the joint histogram against numpy on the binary output.
    times, channels = rec["time"].astype(np.int64), rec["channel"]
    starts = np.flatnonzero(channels == 1)
    row = (np.cumsum(channels == 104) % 3)[starts]  # the row when each start came
    want = np.zeros((2, 3, 400), np.int64)
    for k, stop in enumerate((6, 11)):
        stop_times = np.sort(times[channels == stop])
        lo = np.searchsorted(stop_times, times[starts])
        hi = np.searchsorted(stop_times, times[starts] + 400 * 100)
        each = hi - lo
        first = np.repeat(lo - np.cumsum(each) + each, each) + np.arange(each.sum())
        delays = stop_times[first] - np.repeat(times[starts], each)
        np.add.at(want[k], (np.repeat(row, each), delays // 100), 1)
    assert want.sum() > 1000 and np.array_equal(diffs.data(), want)
    assert len(diffs.bin_edges_ps()) == 401 and diffs.histogram_index == counts[2] % 3
    delay = []
    for stop in (6, 11):
        at = np.flatnonzero(channels == stop)
        following = np.searchsorted(at, starts, side="right")
        has = following < len(at)
        d = np.full(len(starts), -1, np.int64)
        d[has] = times[at[following[has]]] - times[starts[has]]
        delay.append(d)
    inside = (delay[0] >= 0) & (delay[0] < 200 * 50) & (delay[1] >= 0) & (delay[1] < 100000 * 100)
    want = np.zeros((50, 100), np.int64)
    np.add.at(want, (delay[0][inside] // 200, delay[1][inside] // 100000), 1)
    assert want.sum() > 100 and np.array_equal(joint.data(), want)

    # The log-spaced correlation and the gated counter against numpy.
    edges = logc.bin_edges_ps()
    assert len(edges) == 41 and edges[0] == 10 and edges[-1] == 10**9 and np.all(np.diff(edges) > 0)
    b_times = np.sort(times[channels == 6])
    below = np.array([np.searchsorted(b_times, times[starts] + e).sum() for e in edges])
    assert np.array_equal(logc.data(), np.diff(below)) and logc.data().sum() > 1000
    assert logc.normalized().shape == (40,) and (logc.count_a, logc.count_b) == tuple(counts[:2])
    ticks = times[channels == 104]
    ones = np.sort(times[starts])
    want, widths = np.zeros(7, np.int64), np.zeros(7, np.int64)
    for g in range(len(ticks) - 7, len(ticks)):  # the last frame; the last gate still open
        close = max(ticks[g + 1], ticks[g]) if g + 1 < len(ticks) else None
        want[g % 7] = (len(ones) if close is None else np.searchsorted(ones, close)) \
            - np.searchsorted(ones, ticks[g])
        widths[g % 7] = (times[np.isin(channels, (1, 104))].max() if close is None else close) \
            - ticks[g]
    assert gated.ready and np.array_equal(gated.data(), want) and want.sum() > 100
    assert np.array_equal(gated.bin_widths_ps(), widths)

    # Kept after the stop and the close; clear() forgets.
    corr.clear()
    assert corr.data().sum() == 0 and rate.data().sum() > 0


def test_virtual_channels_in_measurements_equal_numpy_on_the_binary_output(tmp_path):
    out = tmp_path / "run.bin"
    with ravik.Chain(simulate=True) as chain:
        chain.set_parameters(0, {"markers": 0x1F})  # records step back around the markers
        delayed = ravik.DelayedChannel(chain, 6, delay_ps=-1500)
        gated = ravik.GatedChannel(chain, 6, gate_open=1, gate_close=11)
        coinc = ravik.Coincidence(chain, [1, 6], window_ps=5000, output=31000)
        assert (delayed.channel, gated.channel, coinc.channel) == (30000, 30001, 31000)
        assert delayed.label == "virtual: 6 delayed by -1500 ps"
        with pytest.raises(ValueError, match="not a virtual channel defined before it"):
            ravik.DelayedChannel(chain, 30005, delay_ps=1)
        corr_delayed = ravik.Correlation(chain, 1, delayed, bin_width_ps=10, n_bins=2000)
        corr_gated = ravik.Correlation(chain, 1, gated.channel, bin_width_ps=100, n_bins=200)
        rate = ravik.CountRate(chain, [coinc, gated])
        counted = ravik.Coincidences(chain, [[1, 6]], window_ps=5000)
        chain.start(bin=out, tmp=tmp_path)
        chain.sleep(0.5)
        chain.stop()
    rec = np.asarray(ravik.load(str(out)))
    assert not np.isin(rec["channel"], [30000, 30001, 31000]).any()  # the outputs: as before
    times, channels = rec["time"].astype(np.int64), rec["channel"]

    def pairs(a_times, b_times, low, width, n):
        b_times = np.sort(b_times)
        lo = np.searchsorted(b_times, a_times + low)
        hi = np.searchsorted(b_times, a_times + low + width * n)
        each = hi - lo
        first = np.repeat(lo - np.cumsum(each) + each, each) + np.arange(each.sum())
        return np.bincount((b_times[first] - np.repeat(a_times, each) - low) // width,
                           minlength=n)

    want = pairs(times[channels == 1], times[channels == 6] - 1500, -10000, 10, 2000)
    assert want.sum() > 1000 and np.array_equal(corr_delayed.data(), want)
    # Open after a record of 1 until one of 11, in merge order.
    gate = np.where(channels == 1, 1, np.where(channels == 11, 0, -1))
    last = np.maximum.accumulate(np.where(gate >= 0, np.arange(len(gate)), -1))
    open_ = (last >= 0) & (gate[np.maximum(last, 0)] == 1)
    kept = times[(channels == 6) & open_]
    want = pairs(times[channels == 1], kept, -10000, 100, 200)
    assert 0 < len(kept) < np.count_nonzero(channels == 6) and want.sum() > 100
    assert np.array_equal(corr_gated.data(), want)
    assert rate.counts()[1] == len(kept)
    assert rate.counts()[0] == counted.data()[0] > 0
    # Written to the outputs, the same channels are there and the measurements see them as written.
    with ravik.Chain(simulate=True) as chain:
        combined = ravik.Combiner(chain, [1, 6])
        rate = ravik.CountRate(chain, [combined, 1, 6])
        report = chain.record_for(0.2, bin=out, hdf5=tmp_path / "run.h5", tmp=tmp_path,
                                  write_virtual=True, compress="fast")
    rec = np.asarray(ravik.load(str(out)))
    counts = [np.count_nonzero(rec["channel"] == c) for c in (30000, 1, 6)]
    assert counts[0] == counts[1] + counts[2] > 0 and rate.counts().tolist() == counts
    assert report["virtual"] == [{"channel": 30000, "label": "virtual: combined 1, 6"}]
    assert np.array_equal(np.asarray(ravik.load(str(tmp_path / "run.h5"))), rec)
    with h5py.File(tmp_path / "run.h5", "r") as f:
        assert "32008" in f["photon_data/timestamps"]._filters


def test_keep_filters_the_outputs_the_stream_and_the_measurements(tmp_path):
    with ravik.Chain(simulate=True) as chain:
        with pytest.raises(ValueError, match="keep: .*0 to 99"):
            chain.start(bin=tmp_path / "run.bin", keep="6 within 5000 of 1; 200 within 1 of 2")
        rate = ravik.CountRate(chain, [1, 6, 7])
        chain.start(bin=tmp_path / "run.bin", hdf5=tmp_path / "run.h5", tmp=tmp_path,
                    keep="6 within 5000 of 1")
        streamed = next(chain.stream()).copy()
        chain.sleep(0.3)
        report = chain.stop()
    rec = np.asarray(ravik.load(str(tmp_path / "run.bin")))
    assert np.array_equal(np.asarray(ravik.load(str(tmp_path / "run.h5"))), rec)
    assert np.array_equal(streamed, rec[:len(streamed)])
    times, channels = rec["time"].astype(np.int64), rec["channel"]
    triggers = np.sort(times[channels == 1])
    sixes = times[channels == 6]
    near = np.searchsorted(triggers, sixes - 5000)
    assert len(sixes) > 0 and np.all(triggers[np.minimum(near, len(triggers) - 1)] - sixes <= 5000)
    counts = [np.count_nonzero(channels == c) for c in (1, 6, 7)]
    assert np.array_equal(rate.counts(), counts) and counts[1] < counts[2] / 2
    assert report["records"] == len(rec)
    assert report["keep"]["filter"] == "6 within 5000 of 1"
    assert report["keep"]["channels"] == [
        {"channel": 6, "kept": counts[1], "dropped": report["keep"]["channels"][0]["dropped"]}]
    assert report["keep"]["channels"][0]["dropped"] > counts[1]


def test_parameters_delay_and_measure_only_runs(tmp_path):
    nan = float("nan")
    with ravik.Chain(simulate=True) as chain:
        before = chain.parameters(1)
        assert len(before["channels"]) == 5
        chain.set_parameters(1, {"markers": 0x11})
        after = chain.parameters(1)
        assert after["markers"] == 0x11
        assert {k: v for k, v in after.items() if k != "markers"} == \
               {k: v for k, v in before.items() if k != "markers"}
        # Every number a call takes is checked: ValueError naming it, whatever its size or kind.
        for call, word in ((lambda: chain.set_parameters(1, {"markerz": 1}), "markerz"),
                           (lambda: chain.set_parameters(1, {"divider": 3}), "divider"),
                           (lambda: chain.parameters(7), "chain position 7"),
                           (lambda: chain.set_parameters(7, {}), "chain position 7"),
                           (lambda: chain.parameters(10**12), "^chain"),
                           (lambda: chain.set_parameters(1, {"channels": [{"threshold_v": nan}]}),
                            r"channels\[0\].threshold_v"),
                           (lambda: chain.set_parameters(1, {"markers": 10**30}), "markers"),
                           (lambda: ravik.CountRate(chain, [1, 70000]), "^channels"),
                           (lambda: ravik.CountRate(chain, [1.5]), "^channels"),
                           (lambda: ravik.Correlation(chain, 1, 6, bin_width_ps=10, n_bins=10**12),
                            "^n_bins"),
                           (lambda: ravik.Correlation(chain, 1, 6, bin_width_ps=10**30, n_bins=2),
                            "^bin_width_ps"),
                           (lambda: ravik.StartStop(chain, 1, 6, bin_width_ps=10, n_bins=nan), "^n_bins"),
                           (lambda: ravik.TimeDifferences(chain, 1, [6], bin_width_ps=10, n_bins=9,
                                                          n_histograms=2), "need a next channel"),
                           (lambda: ravik.TimeDifferences(chain, 1, [6, 6], bin_width_ps=10,
                                                          n_bins=9), "named twice"),
                           (lambda: ravik.Histogram2D(chain, 1, 6, 11, bin_width1_ps=1, n_bins1=2,
                                                      bin_width2_ps=0, n_bins2=2), "^bin_width2_ps"),
                           (lambda: ravik.Coincidences(chain, [[1, 70000]], window_ps=10), "^groups"),
                           (lambda: ravik.Coincidences(chain, [[1, 6]], window_ps=-1), "^window_ps"),
                           (lambda: ravik.LogCorrelation(chain, 1, 6, min_lag_ps=0, max_lag_ps=10,
                                                         bins_per_decade=1), "^min_lag_ps"),
                           (lambda: ravik.LogCorrelation(chain, 1, 6, min_lag_ps=10, max_lag_ps=10,
                                                         bins_per_decade=1), "^max_lag_ps"),
                           (lambda: ravik.LogCorrelation(chain, 1, 6, min_lag_ps=1, max_lag_ps=10,
                                                         bins_per_decade=0), "^bins_per_decade"),
                           (lambda: ravik.CountBetweenMarkers(chain, 1, 104, n_values=0), "^n_values"),
                           (lambda: ravik.CountBetweenMarkers(chain, 1, 104, -1, n_values=2), "^end"),
                           (lambda: ravik.CountBetweenMarkers(chain, 1, 104, 104, n_values=2),
                            "must differ"),
                           (lambda: chain.stream(timeout=nan), "^timeout"),
                           (lambda: chain.sleep(nan), "^seconds"),
                           (lambda: chain.record_for(nan), "^stream_seconds"),
                           (lambda: chain.start(compress="zip"), "^compress"),
                           (lambda: chain.record_for(1, compress=1), "^compress"),
                           (lambda: ravik.CountRate(chain, [1]).wait(), "counts, stream_seconds"),
                           (lambda: ravik.CountRate(chain, [1]).wait(counts=-1), "^counts"),
                           (lambda: ravik.CountRate(chain, [1]).wait(stream_seconds=-1),
                            "^stream_seconds"),
                           (lambda: ravik.Synchronized([]), "none given"),
                           (lambda: ravik.find_delay(chain, 1, 1, 1000), "two different"),
                           (lambda: ravik.find_delay(chain, 1, 6, 0), "^range_ps"),
                           (lambda: ravik.find_delay("run.bin", 1, 6, 1000, apply=True), "needs a chain")):
            with pytest.raises(ValueError, match=word):
                call()
        with pytest.raises(TypeError):
            chain.set_parameters(1, [("markers", 1)])

        # Slave 1's input 1 one nanosecond later: the peak moves by as much.
        chain.set_parameters(1, {"channels": [{}, {"signal_delay_ns": 1.0}]})
        corr = ravik.Correlation(chain, 1, 6, bin_width_ps=10, n_bins=2000)
        chain.start(tmp=tmp_path)  # no outputs: measure only
        with pytest.raises(RuntimeError, match="while the chain records"):
            chain.set_parameters(1, {"markers": 0})
        with pytest.raises(RuntimeError, match="already recording"):
            chain.start()
        chain.sleep(0.3)
        report = chain.stop()
        assert report["outputs"] == [] and report["records"] > 0 and report["completed"]
        assert report["devices"][1]["parameters"]["channels"][1]["signal_delay_ns"] == 1.0
        assert os.listdir(tmp_path) == []  # the private recording folder is gone
        assert abs(peak_ps(corr) - 3500) < 5
        with pytest.raises(RuntimeError, match="not recording"):
            chain.stop()


def test_waits_groups_and_recording_for_a_stream_time(tmp_path):
    out = tmp_path / "run.bin"
    with ravik.Chain(simulate=True) as chain:
        rate = ravik.CountRate(chain, [1, 6])
        twins = [ravik.Correlation(chain, 1, 6, bin_width_ps=10, n_bins=2000) for _ in range(2)]
        # Between the twins, measurements whose clear() lasts about half the time between two
        # batches: a group that acted on one measurement after the other would let records
        # reach one twin and not the other.
        slow = [ravik.Correlation(chain, 1, 11, bin_width_ps=1, n_bins=1 << 24) for _ in range(3)]
        group = ravik.Synchronized([twins[0], *slow, twins[1]])
        chain.start(tmp=tmp_path)
        rate.wait(counts=20000)
        assert rate.counted == rate.counts().sum() >= 20000
        for _ in range(8):
            group.clear()
            chain.sleep(0.031)  # so that the actions fall anywhere between two batches
            group.stop()
            assert np.array_equal(twins[0].data(), twins[1].data())
            assert twins[0].span_ps == twins[1].span_ps
            group.start()
            chain.sleep(0.031)
        group.wait(counts=500, stream_seconds=0.05)
        assert all(m.counted >= 500 and m.span_ps >= 0.05e12 for m in group.measurements)
        group.stop()
        assert np.array_equal(twins[0].data(), twins[1].data())
        # A wait that cannot end: a stopped measurement counts nothing more.
        with pytest.raises(TimeoutError):
            twins[0].wait(counts=twins[0].counted + 1, timeout=0.2)
        chain.stop()

        rate.clear()
        report = chain.record_for(0.25, bin=out, tmp=tmp_path)
    rec = ravik.load(str(out))
    span = int(rec["time"].max()) - int(rec["time"].min())
    # At least the stream time asked for; the measurements saw every record of the outputs.
    assert report["completed"] and report["records"] == len(rec) and span >= 0.25e12
    assert rate.span_ps == span


def test_find_delay_from_the_chain_and_the_file_and_applied(tmp_path, monkeypatch):
    monkeypatch.setenv("RAVIK_SIM_CORRELATION", "20000,3700")  # slave 1 input 1 3.7 ns late
    out = tmp_path / "run.bin"
    with ravik.Chain(simulate=True) as chain:
        live = ravik.find_delay(chain, 1, 6, 10000, counts=5000)
        chain.record_for(0.3, bin=out, tmp=tmp_path)
        kept = ravik.find_delay(out, 1, 6, 10000)
        for found in (live, kept):
            assert 0 < found.uncertainty_ps < 1 and found.significance > 100
            assert abs(found.delay_ps - 3700) < 4 * found.uncertainty_ps
        # Input 1 of the master later by the offset found: the peak moves to 0, within the two
        # fits' uncertainties and the device's whole ps.
        ravik.find_delay(chain, 1, 6, 10000, counts=5000, apply=True)
        assert abs(chain.parameters(0)["channels"][1]["signal_delay_ns"] - 3.7) <= 0.001
        after = ravik.find_delay(chain, 1, 6, 10000, counts=5000)
        assert abs(after.delay_ps) < 4 * (after.uncertainty_ps + live.uncertainty_ps) + 0.5
        # An offset that the device's delays cannot take up: a delayed channel lines 6 up.
        chain.set_parameters(1, {"channels": [{}, {"signal_delay_ns": 1999}]})
        far = ravik.find_delay(chain, 1, 6, 2100000, counts=5000, apply=True)
        assert abs(far.delay_ps - 1999000) < 2000 and far.channel.channel >= 30000
        assert abs(chain.parameters(0)["channels"][1]["signal_delay_ns"] - 3.7) <= 0.001
        lined = ravik.find_delay(chain, 1, far.channel, 10000, counts=5000)
        assert abs(lined.delay_ps) < 4 * (far.uncertainty_ps + lined.uncertainty_ps) + 1


def test_every_public_name_has_a_docstring():
    missing = []
    for name in ravik.__all__:
        item = getattr(ravik, name)
        if not (callable(item) or isinstance(item, type)):
            continue
        members = vars(item).items() if isinstance(item, type) else ()
        for part, value in [(name, item)] + [(f"{name}.{k}", v) for k, v in members
                                              if not k.startswith("_") or k == "__init__"]:
            doc = getattr(value, "__doc__", None) or ""
            # The compiled core's signature line alone says nothing.
            said = "\n".join(line for line in doc.splitlines()
                              if not line.startswith((part.split(".")[-1] + "(", "Overloaded")))
            if (callable(value) or isinstance(value, property) or part == name) and not said.strip():
                missing.append(part)
    assert missing == []


def test_names_beyond_ascii_are_made_and_reported_as_given(tmp_path):
    binary = tmp_path / "Messung-\u00e4-\u00b5.bin"
    with ravik.Chain(simulate=True) as chain:
        chain.start(bin=binary, tmp=tmp_path)
        chain.sleep(0.2)
        report = chain.stop()
    assert report["outputs"] == [{"kind": "binary", "path": str(binary)}]
    assert os.path.getsize(os.fsencode(binary)) > 128
    assert sorted(os.listdir(tmp_path)) == ["Messung-\u00e4-\u00b5.bin", "Messung-\u00e4-\u00b5.json"]



def test_a_raw_file_that_cannot_be_deleted_is_a_warning_of_a_published_run(tmp_path):
    """A folder in the place of a raw file: stop() publishes the outputs and names the file in
    a RuntimeWarning and in messages."""
    with ravik.Chain(simulate=True) as chain:
        chain.start(bin=tmp_path / "run.bin", tmp=tmp_path)
        chain.sleep(0.2)
        (raw,) = tmp_path.glob("ravik-*/ravik-0.tmp")
        raw.rename(tmp_path / "moved.tmp")
        raw.mkdir()
        (raw / "x").touch()
        said = f"warning: {raw}: not removed: Is a directory"
        with pytest.warns(RuntimeWarning, match=re.escape(said)):
            report = chain.stop()
        assert chain.messages[-1] == said
    assert report["completed"] is True and os.path.getsize(tmp_path / "run.bin") > 128

LOW_SPACE_RUN = """
import json, sys, ravik
small = sys.argv[1]
with ravik.Chain(simulate=True) as chain:
    report = chain.record_for(60, bin=small + "/run.bin", tmp=small, min_free=sys.argv[2])
    print(json.dumps({"report": report, "why": chain.stop_reason}))
"""


@pytest.mark.parametrize("min_free", ["40M", str(40 << 20)])
def test_a_recording_stops_by_itself_before_its_file_system_is_full(tmp_path, min_free):
    """On a file system of 64 MiB of its own, below min_free the recording stops as stop()
    would: record_for returns the report, whose records the binary output holds, and the chain
    says why. Nothing is raised."""
    small = tmp_path / "small"
    small.mkdir()
    env = dict(os.environ, RAVIK_SIM_RATES="2e4", PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run(
        ["unshare", "-rm", "sh", "-c",
         'mount -t tmpfs -o size=64m tmpfs "$1" || exit 200; d=$1; shift; "$@"; rc=$?; '
         'stat -c "run.bin holds %s bytes" "$d"/run.bin >&2; exit $rc',
         "sh", str(small), sys.executable, "-c", LOW_SPACE_RUN, str(small), min_free],
        capture_output=True, text=True, env=env, timeout=120)
    if run.returncode == 200 or "unshare: " in run.stderr:
        pytest.skip("cannot mount a tmpfs: " + run.stderr)
    assert run.returncode == 0, run.stderr
    out = json.loads(run.stdout)
    report, why = out["report"], out["why"]
    assert why["cause"] == "free space" and why["folder"] == str(small), why
    assert why["free_bytes"] < 40 << 20 and why["min_free_bytes"] == 40 << 20
    assert report["stop_reason"] == why and report["completed"] is True
    # Of run.bin, listed before the mount went away.
    size = int(re.search(r"run.bin holds (\d+) bytes", run.stderr).group(1))
    assert size == 128 + 10 * report["records"]
    assert report["records"] < 60 * 15 * 20000


def test_one_chain_at_a_time_and_refused_starts(tmp_path):
    first = ravik.Chain(simulate=True)
    with pytest.raises(RuntimeError, match="another Chain"):
        ravik.Chain(simulate=True)
    # An output that cannot be created: nothing starts, the message names it.
    with pytest.raises(RuntimeError, match="no-such-folder"):
        first.start(text=tmp_path / "no-such-folder" / "run.txt", tmp=tmp_path)
    assert not first.recording
    with pytest.raises(RuntimeError, match="recording's folder"):
        first.start(bin=tmp_path / "run.bin", tmp=tmp_path / "missing")
    assert not (tmp_path / "run.bin").exists()
    # The run report beside notes.bin would replace the user's notes.json or notes.report.json.
    for name in ("notes.json", "notes.report.json"):
        (tmp_path / name).write_text("notes\n")
    with pytest.raises(RuntimeError, match=r"notes\.report\.json: both are taken.*report=FILE"):
        first.start(bin=tmp_path / "notes.bin", tmp=tmp_path)
    assert not first.recording and (tmp_path / "notes.json").read_text() == "notes\n"
    assert not [name for name in os.listdir(tmp_path) if name.startswith(("notes.bin", "ravik-"))]
    for bad, error in (("2GB", ValueError), (-1, ValueError), (1.5, TypeError), (True, TypeError)):
        with pytest.raises(error, match="min_free"):
            first.start(bin=tmp_path / "run.bin", tmp=tmp_path, min_free=bad)
    assert not first.recording and not (tmp_path / "run.bin").exists()
    with pytest.raises(ValueError):
        ravik.Correlation(first, -1, 6, bin_width_ps=10, n_bins=20)
    with pytest.raises(TypeError, match="ravik.Chain"):
        ravik.CountRate(object(), [1])
    first.close()
    # An output that fails: stop() says why and where the raw files are kept, and the end of
    # the with block still closes the chain.
    with pytest.raises(RuntimeError, match="No space left on device.*raw files are kept.*--recover"):
        with ravik.Chain(simulate=True) as full:
            full.start(bin="/dev/full", tmp=tmp_path)
            full.sleep(0.2)
    kept = [name for name in os.listdir(tmp_path) if name.startswith("ravik-")]
    assert len(kept) == 1
    assert sum(n.endswith(".tmp") for n in os.listdir(tmp_path / kept[0])) == 3
    # Its manifest tells ravik-merge --recover how to finish it.
    manifest = json.loads((tmp_path / kept[0] / "ravik-run.json").read_text())
    assert manifest["program"] == "ravik-python"
    assert [d["chain"] for d in manifest["devices"]] == [0, 1, 2]
    assert manifest["outputs"] == [{"kind": "binary", "path": "/dev/full"}]

    # Opened again once the other is closed; a run of the new chain works.
    with ravik.Chain(simulate=True) as again:
        rate = ravik.CountRate(again, [1])
        again.start(text=tmp_path / "run.txt", tmp=tmp_path)
        stream = again.stream()
        assert len(next(stream)) > 0
        # Stopped from another thread, the stream stays open, but only for its own recording:
        # the next start ends it, so that it cannot hold up the next merge.
        stopper = threading.Thread(target=again.stop)
        stopper.start()
        stopper.join()
        again.start(tmp=tmp_path)
        with pytest.raises(RuntimeError, match="before it had every record: a new recording"):
            list(stream)
        again.sleep(0.2)
    assert rate.counts()[0] > np.count_nonzero(ravik.load(str(tmp_path / "run.txt"))["channel"] == 1)


def test_every_way_out_of_a_stream_gives_every_record_or_raises(tmp_path, monkeypatch):
    # Closed from another thread while this one reads: the recording is merged to its end and
    # the stream gives all of it.
    chain = ravik.Chain(simulate=True)
    try:
        out = tmp_path / "run.bin"
        chain.start(bin=out, tmp=tmp_path)
        reading = threading.Event()
        closer = threading.Thread(target=lambda: (reading.wait(), chain.sleep(0.3), chain.close()))
        closer.start()
        blocks = []
        for block in chain.stream():
            blocks.append(block.copy())
            reading.set()
        closer.join()
    finally:
        chain.close()
    rec = np.asarray(ravik.load(str(out)))
    assert len(rec) > 100000 and np.array_equal(np.concatenate(blocks), rec)

    # A timeout that expires raises and leaves the stream open: stopped from another thread,
    # it then gives every record. A few events a second, so that no block is full before the
    # stop.
    monkeypatch.setenv("RAVIK_SIM_RATES", "2")
    monkeypatch.setenv("RAVIK_SIM_CORRELATION", "2,2500")
    with ravik.Chain(simulate=True) as chain:
        chain.start(bin=out, tmp=tmp_path)
        stream = chain.stream(timeout=0.3)
        with pytest.raises(TimeoutError, match="0.3 s; the stream is still open"):
            next(stream)
        stopper = threading.Thread(target=chain.stop)
        stopper.start()
        blocks = list(stream)
        stopper.join()
    assert np.array_equal(np.concatenate(blocks), np.asarray(ravik.load(str(out))))


CTRL_C_SCRIPT = """
import faulthandler, signal, sys, time, ravik
# Ctrl-C as at a terminal, also when the tests run as a background job, which starts with the
# interrupt ignored (and Python then keeps it ignored).
signal.signal(signal.SIGINT, signal.default_int_handler)
faulthandler.register(signal.SIGUSR1, all_threads=True)  # where it waits, should it hang
with ravik.Chain(simulate=True) as chain:
    rate = ravik.CountRate(chain, [1])
    chain.start(bin=sys.argv[1], tmp=sys.argv[2])
    # Interrupted only once events are in, so that the file kept has some to check.
    for _ in range(6000):
        if rate.counts()[0] > 0:
            break
        chain.sleep(0.01)
    if sys.argv[3:] == ["stream"]:
        try:
            for block in chain.stream():
                print("recording", flush=True)
                time.sleep(1)  # the loop's body, where Ctrl-C lands nearly always
        except KeyboardInterrupt:
            print("recording" if chain.recording else "stopped", file=sys.stderr, flush=True)
            raise
    elif sys.argv[3:] == ["wait"]:
        print("recording", flush=True)
        rate.wait(counts=10**15)
    else:
        print("recording", flush=True)
        chain.sleep(600)
"""


# During sleep(), a measurement's wait() and while a loop takes the stream's blocks: the
# recording stops and its merge completes before KeyboardInterrupt comes.
@pytest.mark.parametrize("mode", ["sleep", "stream", "wait"])
def test_ctrl_c_stops_the_recording_and_keeps_the_data(tmp_path, mode):
    out = tmp_path / "run.bin"
    env = dict(os.environ, PYTHONPATH=os.path.join(BUILD, "python"))
    child = subprocess.Popen([sys.executable, "-c", CTRL_C_SCRIPT, str(out), str(tmp_path), mode],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, text=True)
    assert child.stdout.readline() == "recording\n"
    child.send_signal(signal.SIGINT)
    try:
        _, err = child.communicate(timeout=120)
    except subprocess.TimeoutExpired:
        # Python's view of every thread, and the native stacks where a debugger is at hand.
        child.send_signal(signal.SIGUSR1)
        native = ""
        if shutil.which("gdb"):
            native = subprocess.run(["gdb", "-p", str(child.pid), "-batch", "-ex",
                                     "thread apply all bt"], capture_output=True, text=True,
                                    timeout=60).stdout
        child.kill()
        _, err = child.communicate()
        pytest.fail("no end 120 s after Ctrl-C\n" + err + native)
    assert "KeyboardInterrupt" in err
    assert mode != "stream" or "stopped\n" in err
    rec = ravik.load(str(out))
    assert len(rec) > 0 and np.all(np.diff(rec["time"][rec["channel"] < 100]) >= 0)
    assert sorted(os.listdir(tmp_path)) == ["run.bin", "run.json"]


def test_a_killed_script_leaves_a_run_that_recovers_without_its_unfinished_output(tmp_path):
    out, runs = tmp_path / "out", tmp_path / "runs"
    out.mkdir()
    runs.mkdir()
    env = dict(os.environ, PYTHONPATH=os.path.join(BUILD, "python"))
    child = subprocess.Popen([sys.executable, "-c", CTRL_C_SCRIPT, str(out / "run.bin"), str(runs)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, text=True)
    assert child.stdout.readline() == "recording\n"
    child.kill()
    child.communicate()
    (run,) = runs.iterdir()
    # The binary output, unfinished under its temporary name, is named in the run's manifest.
    (partial,) = json.loads((run / "ravik-run.json").read_text())["partials"]
    assert os.listdir(out) == [os.path.basename(partial)] and partial.startswith(str(out) + "/.ravik-")
    merged = subprocess.run([program("ravik-merge"), "--recover", str(run)], capture_output=True,
                            text=True)
    assert merged.returncode == 0, merged.stderr
    assert f"removed {partial} (" in merged.stderr
    assert sorted(os.listdir(out)) == ["run.bin", "run.json"]
    assert len(ravik.load(str(out / "run.bin"))) > 0


EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples")


def run_example(name, *args):
    env = dict(os.environ, PYTHONPATH=os.path.join(BUILD, "python"))
    return subprocess.run([sys.executable, os.path.join(EXAMPLES, name), "--simulate", *args],
                          check=True, capture_output=True, text=True, env=env).stdout.splitlines()


def test_examples_delay_scan_and_g2():
    rows = [line.split() for line in run_example("delay_scan.py", "--seconds", "0.2")[1:]]
    delays = [float(r[0]) for r in rows]
    peaks = [float(r[1]) for r in rows]
    assert delays == [0.0, 1.0, 2.0, 3.0, 4.0]
    assert all(abs(p - (2500 + 1000 * d)) <= 5 for p, d in zip(peaks, delays))

    lines = run_example("g2.py", "--seconds", "0.5", "--bin-width", "100", "--bins", "200")
    baseline = float(lines[1].split(":")[1])
    table = {int(r.split()[0]): float(r.split()[1]) for r in lines[3:]}
    assert 0.3 < baseline < 3  # about 50 accidental pairs: 1 within their spread
    assert max(table, key=table.get) in (2400, 2500) and max(table.values()) > 100


def test_a_split_recording_publishes_its_parts_while_it_records(tmp_path):
    """Each part is in place before the stop; together the parts hold the records the stream
    gave, in its order, and the report lists them with their counts and time spans."""
    with ravik.Chain(simulate=True) as chain:
        with pytest.raises(ValueError, match="split_size"):
            chain.start(bin=tmp_path / "run.bin", split_size=0)
        with pytest.raises(ValueError, match="split_time"):
            chain.start(bin=tmp_path / "run.bin", split_time=-1)
        chain.start(bin=tmp_path / "run.bin", hdf5=tmp_path / "run.h5", tmp=tmp_path,
                    split_time=0.1)
        streamed = []
        for block in chain.stream():
            streamed.append(block.copy())
            if (tmp_path / "run-0002.h5").exists() and sum(map(len, streamed)) >= 10 ** 6:
                break
        assert not (tmp_path / "run.bin").exists() and chain.recording
        report = chain.stop()
    parts = report["parts"]
    assert len(parts) >= 3 and [p["index"] for p in parts] == list(range(1, len(parts) + 1))
    records = ravik.load(report)
    assert np.array_equal(ravik.load(report, kind="hdf5"), records)
    assert len(records) == report["records"] == sum(p["records"] for p in parts)
    assert np.array_equal(records[:len(np.concatenate(streamed))], np.concatenate(streamed))
    start = 0
    for p in parts:
        mine = records[start:start + p["records"]]
        assert (mine["time"].min(), mine["time"].max()) == (p["first_ps"], p["last_ps"])
        assert np.all(mine["time"] < parts[0]["first_ps"] + p["index"] * 10 ** 11 + 10 ** 9)
        start += p["records"]
