"""Analyses a lab runs every day on the chain or on its outputs: the delay between two channels.

    import ravik
    with ravik.Chain(simulate=True) as chain:
        found = ravik.find_delay(chain, 1, 6, 10000, apply=True)
    print(found.delay_ps, "+-", found.uncertainty_ps, "ps,", found.significance, "sigma")
"""
import collections
import math
import operator
import os

import numpy as np

from .reader import coincidences, load

Delay = collections.namedtuple("Delay", "delay_ps uncertainty_ps significance pairs background channel",
                               defaults=(None,))
Delay.__doc__ = """What find_delay() found: delay_ps, the offset t(b) - t(a) of the correlation peak in
ps; uncertainty_ps, its standard uncertainty; significance, the peak's height over the
background in the background's standard deviations; pairs, the pairs in the peak above the
background; background, the background in pairs per bin; channel, after apply=True, the channel
whose records line up with a's: b itself when a device's signal delay took the offset up, or a
ravik.DelayedChannel of b (None without apply)."""

# The devices' signal delay, per input: whole ps from 0 to 2000 ns (the parameters' range).
_DELAY_MIN_PS, _DELAY_MAX_PS = 0, 2000000
_INPUTS = 5  # output channel = 5 x chain position + input


def _whole(value, name, least):
    if hasattr(value, "__index__") and not isinstance(value, (bool, int, np.integer)):
        value = operator.index(value)  # a virtual channel
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        if isinstance(value, (float, np.floating)) and float(value).is_integer():
            value = int(value)
        else:
            raise ValueError(f"{name}: {value!r} is not a whole number")
    if value < least:
        raise ValueError(f"{name}: {value} is less than {least}")
    return int(value)


def _peak(counts, edges):
    """The centroid of the correlation peak around its fullest bin, with its uncertainty.

    The background is the median of the bins (a peak fills only a few); its standard deviation
    the square root of it (Poisson counts, at least 1). The peak is the run of bins around the
    fullest one whose excess over the background exceeds 3 standard deviations, widened by two
    bins each side for its tails; its centroid is the mean bin centre weighted by the excess,
    and the uncertainty that mean's standard error: the peak's width (the weighted spread of
    the bins' centres plus the spread of the whole ps within a bin) over the square root of the
    pairs in it. A peak that fills fewer than three bins above the background cannot be placed
    within a bin: a bin's standard deviation, width / sqrt(12), is added in quadrature.
    """
    counts = np.asarray(counts, dtype=np.float64)
    edges = np.asarray(edges, dtype=np.float64)
    if counts.sum() == 0:
        raise ValueError("find_delay: no pairs of the two channels within the range")
    # Times are whole ps: bin [lo, lo + w) holds the delays lo .. lo + w - 1.
    widths = np.diff(edges)
    centres = edges[:-1] + (widths - 1) / 2
    background = float(np.median(counts))
    sd = math.sqrt(max(background, 1.0))
    k = int(np.argmax(counts))
    above = counts - background > 3 * sd
    lo = hi = k
    while lo > 0 and above[lo - 1]:
        lo -= 1
    while hi < len(counts) - 1 and above[hi + 1]:
        hi += 1
    lo, hi = max(lo - 2, 0), min(hi + 2, len(counts) - 1)
    excess = np.clip(counts[lo:hi + 1] - background, 0, None)
    pairs = float(excess.sum())
    if pairs == 0:
        raise ValueError("find_delay: no peak above the background")
    x = centres[lo:hi + 1]
    mean = float(np.sum(x * excess) / pairs)
    spread = float(np.sum(excess * (x - mean) ** 2) / pairs + np.mean(widths[lo:hi + 1] ** 2 - 1) / 12)
    uncertainty = spread / pairs
    if np.count_nonzero(above[lo:hi + 1]) < 3:
        uncertainty += float(widths[k]) ** 2 / 12
    return Delay(mean, math.sqrt(uncertainty), float((counts[k] - background) / sd), pairs,
                 background)


def _from_file(path, a, b, width, n_bins):
    rec = load(path)
    times, channels = np.asarray(rec["time"]), np.asarray(rec["channel"])
    low = -(n_bins // 2) * width
    delays = coincidences(times[channels == a], times[channels == b], (n_bins // 2) * width)
    edges = low + width * np.arange(n_bins + 1, dtype=np.int64)
    counts, _ = np.histogram(delays, bins=edges)
    # np.histogram closes its last bin; the chain's bins are half-open.
    counts[-1] -= np.count_nonzero(delays == edges[-1])
    return counts, edges


def _from_chain(chain, a, b, width, n_bins, counts, timeout):
    from ._core import Correlation

    corr = Correlation(chain, a, b, bin_width_ps=width, n_bins=n_bins)
    started = not chain.recording
    if started:
        chain.start()  # measure only
    try:
        corr.wait(counts=counts, timeout=timeout)
    finally:
        if started and chain.recording:
            chain.stop()
    return corr.data(), corr.bin_edges_ps()


def _apply(chain, a, b, delay_ps):
    """Lines b up with a: moves the earlier channel's signal delay on by the offset, so that the
    peak sits at 0; where no device delay can take the offset up (beyond the devices' range, a
    marker or a virtual channel), defines a DelayedChannel of b instead. Returns the channel that
    carries b lined up."""
    from . import DelayedChannel
    shift = int(round(delay_ps))
    channel, step = (a, shift) if shift >= 0 else (b, -shift)
    if channel < 100:
        position, input_ = divmod(channel, _INPUTS)
        now_ps = int(round(chain.parameters(position)["channels"][input_]["signal_delay_ns"] * 1000))
        wanted = now_ps + step
        if _DELAY_MIN_PS <= wanted <= _DELAY_MAX_PS:
            chain.set_parameters(position,
                                 {"channels": [{}] * input_ + [{"signal_delay_ns": wanted / 1000}]})
            return b
    return DelayedChannel(chain, b, delay_ps=-shift)


def find_delay(source, a, b, range_ps, *, bin_width_ps=None, counts=10000, timeout=None,
               apply=False):
    """The offset of the correlation peak between channels a and b: t(b) - t(a) in ps.

    source: a ravik.Chain, or the path of a merged output (binary, text or HDF5), read with
    ravik.load() and histogrammed with numpy. The delays looked at are -range_ps <= d < range_ps,
    in bins of bin_width_ps (default range_ps // 1000, at least 1 ps). With a chain, a
    Correlation is fed until it holds `counts` pairs (Measurement.wait(); TimeoutError after
    `timeout` wall-clock seconds): during the chain's recording, or else during a measure-only
    recording of its own that it stops afterwards.

    Returns a Delay: the centroid of the peak around its fullest bin (see _peak for the fit), its
    standard uncertainty from the pairs in the peak, and its significance, the peak bin's height
    over the background (the median bin) in standard deviations of the background.

    apply=True (a chain only, not while it records): sets the signal delay of the earlier
    channel's input (a when the offset is positive, else b) later by the offset, so that the
    next recording's peak sits at 0. Where that delay would leave the device's range (0 to
    2000 ns), or the earlier channel is a marker or a virtual channel, it defines a
    ravik.DelayedChannel of b by minus the offset instead, effective from the next recording.
    The Delay's `channel` says which channel now carries b lined up with a.
    """
    for value, name in ((a, "a"), (b, "b")):
        _whole(value, name, 0)
    a, b = int(a), int(b)
    if a == b:
        raise ValueError("find_delay: a and b must be two different channels")
    range_ps = _whole(range_ps, "range_ps", 1)
    width = max(range_ps // 1000, 1) if bin_width_ps is None else _whole(bin_width_ps, "bin_width_ps", 1)
    n_bins = 2 * -(-range_ps // width)
    if n_bins > 1 << 24:
        raise ValueError(f"bin_width_ps: {width} ps makes {n_bins} bins, more than {1 << 24}")
    counts = _whole(counts, "counts", 1)
    is_file = isinstance(source, (str, bytes, os.PathLike))
    if apply and is_file:
        raise ValueError("apply: needs a chain, not a file")
    if apply and source.recording:
        raise RuntimeError("apply: the parameters cannot change while the chain records")
    if is_file:
        histogram, edges = _from_file(os.fspath(source), a, b, width, n_bins)
    else:
        histogram, edges = _from_chain(source, a, b, width, n_bins, counts, timeout)
    found = _peak(histogram, edges)
    if apply:
        return found._replace(channel=_apply(source, a, b, found.delay_ps))
    return found
