// What the units of the Python package's compiled core share: the checks of the arguments
// that come from Python, numpy arrays of the measurements' data, the attachment of a
// measurement to its chain, and the functions that bind each group of classes into the module.
#ifndef RAVIK_PYTHON_BINDINGS_H
#define RAVIK_PYTHON_BINDINGS_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <stdint.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "merge/hdf5output.h"
#include "monitor/measurements.h"

class Chain;

namespace ravikpy {

namespace py = pybind11;

// A whole number within [lo, hi] for the argument `name`: ValueError when it is a number of
// another kind or out of range, TypeError when it is not a number at all.
int64_t wholeNumber(const py::handle& value, const std::string& name, int64_t lo, int64_t hi);
// An output channel of a measurement, and a list of them.
int16_t channelArg(const py::handle& value, const char* name = "channel");
std::vector<int16_t> channelsArg(const py::handle& values, const char* name = "channels");
// A number of bins, 1 to kMaxMeasurementBins.
int32_t binsArg(const py::handle& value, const char* name = "n_bins");
// Picoseconds, `least` or more.
int64_t picosecondsArg(const py::handle& value, const char* name, int64_t least);
// A chain position.
int32_t positionArg(const py::handle& value);
// The HDF5 columns' compression: False (none), True (deflate) or "fast".
Hdf5Compression compressionArg(const py::handle& value);
// Seconds of a wait, 0 or more; None: no limit (-1).
double secondsArg(const py::handle& value, const char* name);
// JSON as Python's values, and back (see args.cpp).
py::object jsonToPython(const nlohmann::json& value);
nlohmann::json pythonToJson(const py::handle& value, const std::string& where);

// A numpy array that owns `values`.
template <typename T>
py::array_t<T> toArray(std::vector<T> values) {
  auto* held = new std::vector<T>(std::move(values));
  py::capsule owner(held, [](void* p) { delete static_cast<std::vector<T>*>(p); });
  return py::array_t<T>(py::ssize_t(held->size()), held->data(), owner);
}

// The measurements that feed on the chain `chain` (a ravik.Chain, or an object whose `_chain`
// is one); TypeError for anything else.
MeasurementSet& measurementsOf(const py::object& chain);
// The live chain itself, taken the same way.
::Chain& liveChainOf(const py::object& chain);

// The chain (as given to the measurement) and the measurements of a measurement made by
// attach(), for the waits and the groups; ValueError for one no chain feeds.
struct Attached {
  PyObject* chain;  // kept alive by the measurement's Python object
  MeasurementSet* set;
};
void noteAttached(const Measurement* m, const Attached& where);
void forgetAttached(const Measurement* m);
Attached attachedOf(const Measurement* m);

// Attaches a new measurement to the chain. Python's handle shares the measurement with the chain
// and, when it goes, detaches it, so the chain stops feeding a measurement nobody can read.
template <typename M>
std::shared_ptr<M> attach(const py::object& chain, std::shared_ptr<M> m) {
  MeasurementSet* set = &measurementsOf(chain);
  set->add(m);
  noteAttached(m.get(), {chain.ptr(), set});
  return std::shared_ptr<M>(m.get(), [set, m](M*) {
    forgetAttached(m.get());
    set->remove(m.get());
  });
}

// Calls `step(ms)` until it returns true; `step` runs without the GIL and waits at most `ms`.
// Between calls Python's signals are looked at as in the chain's other waits: Ctrl-C stops the
// recording of `chain` (its merge completes), then raises KeyboardInterrupt. False when
// `timeoutSeconds` (< 0: no limit) passed first.
bool waitOnChain(const py::handle& chain, double timeoutSeconds,
                 const std::function<bool(int32_t ms)>& step);

// Measurement.wait() (see control.cpp): `self` is a bound measurement.
void waitForMeasurement(const py::object& self, const py::object& counts,
                        const py::object& streamSeconds, const py::object& timeout);

// The measurement classes; Synchronized.
void bindMeasurements(py::module_& m);
void bindControl(py::module_& m);
// LogCorrelation and CountBetweenMarkers.
void bindLogAndGated(py::module_& m);
// The virtual channels.
void bindVirtualChannels(py::module_& m);

}  // namespace ravikpy

#endif
