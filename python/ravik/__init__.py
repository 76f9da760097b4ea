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
the measurements come from the compiled core, ravik._core.
"""
from ._core import (Chain, Coincidences, Correlation, CountRate, Measurement, StartStop,
                    Stream, TimeTrace)
from .reader import RECORD, coincidences, load, report

__all__ = ["Chain", "Coincidences", "Correlation", "CountRate", "Measurement", "StartStop",
           "Stream", "TimeTrace", "RECORD", "coincidences", "load", "report"]
