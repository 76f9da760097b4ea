"""Ravik from Python: drive a chain of time-to-digital converters, measure while it records,
and read the outputs.

    import ravik
    with ravik.Chain(simulate=True) as chain:
        corr = ravik.Correlation(chain, 1, 6, bin_width_ps=10, n_bins=2000)
        chain.start(bin="run.bin")
        chain.sleep(1.0)
        report = chain.stop()
    rec = ravik.load("run.bin")

The reader (load, report, coincidences) needs numpy only (h5py for HDF5 files); the chain and
the measurements come from the compiled core, ravik._core. The package's source folder holds
no core: there (as on the workers of a cluster that only read outputs) the reader works alone,
and asking for the chain says where the core is built.
"""
from .reader import RECORD, coincidences, load, report
from .analysis import Delay, find_delay

_CORE_NAMES = ("Chain", "Coincidences", "Correlation", "CountBetweenMarkers", "CountRate",
               "Histogram2D", "LogCorrelation", "Measurement", "StartStop", "Stream",
               "Synchronized", "TimeDifferences", "TimeTrace", "VirtualChannel", "DelayedChannel",
               "Combiner", "Coincidence", "GatedChannel")
try:
    from ._core import (Chain, Coincidences, Correlation, CountBetweenMarkers, CountRate,
                        Histogram2D, LogCorrelation, Measurement, StartStop, Stream,
                        Synchronized, TimeDifferences, TimeTrace)
    from ._core import Coincidence, Combiner, DelayedChannel, GatedChannel, VirtualChannel
except ModuleNotFoundError as missing:
    if missing.name != __name__ + "._core":
        raise
    _core_missing = missing

    def __getattr__(name):
        if name in _CORE_NAMES:
            raise ImportError(f"ravik.{name} needs the compiled core ravik._core, which is not "
                              f"beside {__file__}: build Ravik (the package with its core is "
                              "build/python/ravik) or install it") from _core_missing
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

__all__ = ["Chain", "Coincidences", "Correlation", "CountBetweenMarkers", "CountRate",
           "Histogram2D", "LogCorrelation", "Measurement", "StartStop", "Stream", "Synchronized",
           "TimeDifferences", "TimeTrace", "VirtualChannel", "DelayedChannel", "Combiner",
           "Coincidence", "GatedChannel", "RECORD", "Delay", "coincidences", "find_delay", "load",
           "report"]
