// Measurement control from Python: waiting for a measurement to have counted enough or seen
// enough stream time, and groups of measurements that start, stop, clear and wait at one stream
// time (Synchronized).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <math.h>
#include <stdint.h>

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "python/ravik/bindings.h"

namespace py = pybind11;

namespace ravikpy {

namespace {

// Where each measurement that Python made is attached. Touched with the GIL held (making and
// dropping a measurement); the lock is for a deleter run without it.
std::mutex gAttachedLock;
std::unordered_map<const Measurement*, Attached>& attachedMap() {
  static auto* map = new std::unordered_map<const Measurement*, Attached>;  // never freed
  return *map;
}

// What a wait waits for: at least `counts` counted and `spanPs` of stream time seen (< 0: any).
struct Goal {
  int64_t counts = -1;
  int64_t spanPs = -1;
  bool reachedBy(const Measurement& m) const {
    return (counts < 0 || m.counted() >= counts) && (spanPs < 0 || m.spanPs() >= spanPs);
  }
};

Goal goalOf(const py::object& counts, const py::object& streamSeconds) {
  if (counts.is_none() && streamSeconds.is_none())
    throw std::invalid_argument("wait: give counts, stream_seconds or both");
  Goal goal;
  if (!counts.is_none()) goal.counts = wholeNumber(counts, "counts", 0, INT64_MAX);
  if (!streamSeconds.is_none()) {
    const double ps = secondsArg(streamSeconds, "stream_seconds") * 1e12;
    goal.spanPs = ps >= 9.2e18 ? INT64_MAX : int64_t(ceil(ps));
  }
  return goal;
}

// A goal of counts for measurements that count their events.
void checkCounts(const Goal& goal, const std::vector<const Measurement*>& members) {
  if (goal.counts < 0) return;
  for (const Measurement* m : members)
    if (m->counted() < 0) throw std::invalid_argument("counts: the measurement does not count events");
}

const Measurement& measurementOf(const py::handle& m) {
  if (!py::isinstance<Measurement>(m))
    throw py::type_error("a ravik measurement is expected, not " + std::string(py::repr(m)));
  return m.cast<const Measurement&>();
}

// Waits until every one of `members` (all fed by `set`) has reached `goal`, judged between two
// batches; TimeoutError after `timeout` seconds (< 0: none).
void waitForAll(PyObject* chain, const MeasurementSet& set, const std::vector<const Measurement*>& members,
                const Goal& goal, double timeout) {
  checkCounts(goal, members);
  const auto allReached = [&] {
    return const_cast<MeasurementSet&>(set).together([&] {
      for (const Measurement* m : members)
        if (!goal.reachedBy(*m)) return false;
      return true;
    });
  };
  const bool reached = waitOnChain(chain, timeout, [&](int32_t ms) {
    const uint64_t seen = set.batches();
    if (allReached()) return true;
    set.waitForBatch(seen, ms);
    return allReached();
  });
  if (!reached) {
    PyErr_SetString(PyExc_TimeoutError,
                    ("the measurement did not reach what it waits for within " +
                     std::string(py::str(py::float_(timeout))) + " s")
                        .c_str());
    throw py::error_already_set();
  }
}

// Measurements that act together: every start(), stop(), clear() and wait() acts on all of them
// between the same two batches of the merged records, so that they see the same records.
class Synchronized {
public:
  explicit Synchronized(const py::object& measurements) {
    if (!py::isinstance<py::iterable>(measurements) || py::isinstance<py::str>(measurements))
      throw py::type_error("measurements: a list of measurements is expected");
    for (const py::handle item : py::iter(measurements)) {
      const Measurement& m = measurementOf(item);
      const Attached where = attachedOf(&m);
      if (_members.empty()) _where = where;
      if (where.set != _where.set)
        throw std::invalid_argument("measurements: all of them must be of one chain");
      _objects.append(item);
      _members.push_back(const_cast<Measurement*>(&m));
    }
    if (_members.empty()) throw std::invalid_argument("measurements: none given");
  }

  void start() { act([](Measurement* m) { m->start(); }); }
  void stop() { act([](Measurement* m) { m->stop(); }); }
  void clear() { act([](Measurement* m) { m->clear(); }); }
  void wait(const py::object& counts, const py::object& streamSeconds, const py::object& timeout) {
    const Goal goal = goalOf(counts, streamSeconds);
    const double seconds = secondsArg(timeout, "timeout");
    waitForAll(_where.chain, *_where.set, {_members.begin(), _members.end()}, goal, seconds);
  }
  py::list measurements() const { return py::list(_objects); }

private:
  template <typename F>
  void act(F f) {
    py::gil_scoped_release free;  // the feed may hold the set for a batch
    _where.set->together([&] {
      for (Measurement* m : _members) f(m);
      return true;
    });
  }

  py::list _objects;  // keeps the measurements, and so their chain, alive
  std::vector<Measurement*> _members;
  Attached _where{};
};

}  // namespace

void noteAttached(const Measurement* m, const Attached& where) {
  std::lock_guard<std::mutex> hold(gAttachedLock);
  attachedMap()[m] = where;
}

void forgetAttached(const Measurement* m) {
  std::lock_guard<std::mutex> hold(gAttachedLock);
  attachedMap().erase(m);
}

Attached attachedOf(const Measurement* m) {
  std::lock_guard<std::mutex> hold(gAttachedLock);
  const auto found = attachedMap().find(m);
  if (found == attachedMap().end()) throw std::invalid_argument("the measurement is not attached to a chain");
  return found->second;
}

void waitForMeasurement(const py::object& self, const py::object& counts, const py::object& streamSeconds,
                        const py::object& timeout) {
  const Measurement& m = measurementOf(self);
  const Goal goal = goalOf(counts, streamSeconds);
  const double seconds = secondsArg(timeout, "timeout");
  const Attached where = attachedOf(&m);
  waitForAll(where.chain, *where.set, {&m}, goal, seconds);
}

void bindControl(py::module_& m) {
  py::class_<Synchronized>(
      m, "Synchronized",
      "Measurements of one chain that act as one: start(), stop(), clear() and wait() act on all "
      "of them between the same two batches of merged records, so that no record reaches one of "
      "them and not the others. Two identical measurements in a group hold identical data and "
      "spans.")
      .def(py::init<py::object>(), py::arg("measurements"),
           "A group of the measurements given (a list; all attached to one chain).")
      .def("start", &Synchronized::start, "Starts every measurement of the group at once.")
      .def("stop", &Synchronized::stop, "Stops every measurement of the group at once.")
      .def("clear", &Synchronized::clear,
           "Clears every measurement of the group at once (they keep running or stopped).")
      .def("wait", &Synchronized::wait, py::kw_only(), py::arg("counts") = py::none(),
           py::arg("stream_seconds") = py::none(), py::arg("timeout") = py::none(),
           "Returns once every measurement of the group has reached what Measurement.wait() "
           "waits for (judged between two batches, for all at once); TimeoutError after "
           "`timeout` wall-clock seconds.")
      .def_property_readonly("measurements", &Synchronized::measurements,
                             "The measurements of the group, in the order given.");
}

}  // namespace ravikpy
