// The compiled core of the Python package: the live chain and the measurements, bound with
// pybind11. Errors become Python exceptions carrying the library's or the system's message; every
// wait releases the GIL and looks for Ctrl-C every kSignalCheckMs.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <math.h>
#include <stdint.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "chain/chain.h"
#include "merge/mergecore.h"
#include "monitor/measurements.h"
#include "monitor/timedifferences.h"

namespace py = pybind11;

namespace {

// How often a wait gives Python the chance to raise KeyboardInterrupt.
constexpr int32_t kSignalCheckMs = 100;

// The numpy type of one merged record, as in the binary output: packed, little-endian.
py::dtype recordType() {
  py::list fields;
  fields.append(py::make_tuple("time", "<i8"));
  fields.append(py::make_tuple("channel", "<i2"));
  return py::dtype::from_args(fields);
}

py::object jsonToPython(const nlohmann::json& value) {
  return py::module_::import("json").attr("loads")(value.dump());
}

// A whole number within [lo, hi] for the argument `name`: ValueError when it is a number of
// another kind or out of range, TypeError when it is not a number at all.
int64_t wholeNumber(const py::handle& value, const std::string& name, int64_t lo, int64_t hi) {
  PyObject* index = PyNumber_Index(value.ptr());
  if (index == nullptr) {
    PyErr_Clear();
    const std::string shown = py::repr(value);
    if (PyNumber_Check(value.ptr()))
      throw std::invalid_argument(name + ": " + shown + " is not a whole number");
    throw py::type_error(name + ": a whole number is expected, not " + shown);
  }
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(index, &overflow);
  const std::string shown = py::str(py::handle(index));
  Py_DECREF(index);
  if (overflow != 0 || n < lo || n > hi)
    throw std::invalid_argument(name + ": " + shown + " is not from " + std::to_string(lo) +
                                " to " + std::to_string(hi));
  return int64_t(n);
}

// An output channel of a measurement.
int16_t channelArg(const py::handle& value, const char* name = "channel") {
  return int16_t(wholeNumber(value, name, 0, INT16_MAX));
}

std::vector<int16_t> channelsArg(const py::handle& values, const char* name = "channels") {
  std::vector<int16_t> channels;
  if (!py::isinstance<py::iterable>(values) || py::isinstance<py::str>(values))
    throw py::type_error(std::string(name) + ": a list of channels is expected");
  for (const py::handle item : py::iter(values)) channels.push_back(channelArg(item, name));
  return channels;
}

int32_t binsArg(const py::handle& value, const char* name = "n_bins") {
  return int32_t(wholeNumber(value, name, 1, kMaxMeasurementBins));
}

int64_t picosecondsArg(const py::handle& value, const char* name, int64_t least) {
  return wholeNumber(value, name, least, INT64_MAX);
}

int32_t positionArg(const py::handle& value) {
  return int32_t(wholeNumber(value, "chain", INT32_MIN, INT32_MAX));
}

// Seconds of a wait, 0 or more; None: no limit (-1).
double secondsArg(const py::handle& value, const char* name) {
  if (value.is_none()) return -1;
  if (!PyNumber_Check(value.ptr()) || py::isinstance<py::str>(value))
    throw py::type_error(std::string(name) + ": seconds are expected, not " +
                         std::string(py::repr(value)));
  double seconds = PyFloat_AsDouble(value.ptr());
  if (seconds == -1 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
    PyErr_Clear();
    seconds = NAN;  // beyond floating point
  }
  if (!(seconds >= 0))
    throw std::invalid_argument(std::string(name) + ": " + std::string(py::repr(value)) +
                                " is not a number of seconds, 0 or more");
  return seconds;
}

// Python's dicts, lists, numbers, strings, booleans and None as JSON, for the parameters. A
// number JSON cannot hold (NaN, infinity) or any other value is refused with ValueError naming
// where it is; integers beyond 64 bits become floating point, which the parameters refuse.
nlohmann::json pythonToJson(const py::handle& value, const std::string& where) {
  if (value.is_none()) return nullptr;
  if (py::isinstance<py::bool_>(value)) return value.cast<bool>();
  if (py::isinstance<py::int_>(value)) {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow == 0) return int64_t(n);
    const double x = PyLong_AsDouble(value.ptr());
    if (x == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      throw std::invalid_argument(where + ": " + std::string(py::str(value)) + " is out of range");
    }
    return x;
  }
  if (py::isinstance<py::float_>(value)) {
    const double x = value.cast<double>();
    if (!isfinite(x))
      throw std::invalid_argument(where + ": " + std::string(py::repr(value)) + " is not a number");
    return x;
  }
  if (py::isinstance<py::str>(value)) return value.cast<std::string>();
  if (py::isinstance<py::dict>(value)) {
    nlohmann::json object = nlohmann::json::object();
    for (const auto& item : value.cast<py::dict>()) {
      if (!py::isinstance<py::str>(item.first))
        throw std::invalid_argument(where + ": the key " + std::string(py::repr(item.first)) +
                                    " is not a name");
      const std::string key = item.first.cast<std::string>();
      object[key] = pythonToJson(item.second, where + "." + key);
    }
    return object;
  }
  if (py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value)) {
    nlohmann::json array = nlohmann::json::array();
    size_t i = 0;
    for (const py::handle item : value)
      array.push_back(pythonToJson(item, where + "[" + std::to_string(i++) + "]"));
    return array;
  }
  // Other numbers (numpy's scalars): whole ones as integers, the others as floating point.
  if (PyIndex_Check(value.ptr())) {
    const py::object whole = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!whole) throw py::error_already_set();
    return pythonToJson(whole, where);
  }
  if (PyNumber_Check(value.ptr()))
    return pythonToJson(py::float_(py::reinterpret_borrow<py::object>(value)), where);
  throw std::invalid_argument(where + ": " + std::string(py::repr(value)) +
                              " is not a number, text, True/False, None, list or dict");
}

template <typename T>
py::array_t<T> toArray(std::vector<T> values) {
  auto* held = new std::vector<T>(std::move(values));
  py::capsule owner(held, [](void* p) { delete static_cast<std::vector<T>*>(p); });
  return py::array_t<T>(py::ssize_t(held->size()), held->data(), owner);
}

class PyChain;

// One reader of the chain's merged records: an iterator of numpy blocks. While it lives it is
// the chain's reader. Every way out of it either has delivered every record of its recording
// (the end of the merge) or raises: TimeoutError when no block came within its timeout (it
// stays open), RuntimeError when it was ended before it had every record (its own thread
// stopped or closed the chain, or a new recording began) or the merge ended early, and
// KeyboardInterrupt after a Ctrl-C has stopped the recording. Only close() (or leaving the loop)
// ends it quietly.
class PyStream {
public:
  // `timeoutSeconds` < 0: no limit.
  PyStream(PyChain* owner, RecordQueue* queue, double timeoutSeconds);
  ~PyStream() { close(); }
  py::array next();
  // Ends the stream: the chain's merge no longer waits for it.
  void close();
  // Ends the stream for the chain: when records may be missing, its next step raises with `why`.
  void cut(const std::string& why);
  bool closed() const { return _queue == nullptr; }
  unsigned long thread() const { return _thread; }

private:
  // Ends the wait for a block with an exception, or StopIteration at the end of the records.
  [[noreturn]] void end();

  PyChain* _owner;
  RecordQueue* _queue;      // null once closed
  unsigned long _thread;    // the Python thread that opened it
  double _timeout;          // seconds; < 0: none
  std::string _cutShort;    // why it ended with records missing; empty: it did not
  py::dtype _type = recordType();
};

bool onMainThread() {
  return PyThread_get_thread_ident() ==
         py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
}

// The chain as Python sees it: the live chain, the stream open on it, and Ctrl-C. Calls from
// several Python threads take turns on the chain.
class PyChain {
public:
  explicit PyChain(bool simulate) {
    std::string error;
    if (!owned([&] { return _chain.open(simulate, &error); })) throw std::runtime_error(error);
  }
  ~PyChain() {
    if (_stream != nullptr) _stream->close();
    restoreInterrupt();
    py::gil_scoped_release free;
    _chain.close();
  }

  Chain& chain() { return _chain; }

  py::list devices() const {
    py::list list;
    for (const ChainDevice& d : _chain.devices()) {
      py::dict entry;
      entry["serial"] = d.serial;
      entry["index"] = d.index;
      entry["chain"] = d.chain;
      entry["role"] = d.role;
      entry["features"] = d.features;
      list.append(entry);
    }
    return list;
  }

  py::object parameters(const py::object& position) {
    const int32_t chain = positionArg(position);
    nlohmann::json params;
    std::string error;
    if (!_chain.hasPosition(chain, &error)) throw std::invalid_argument(error);
    if (!owned([&] { return _chain.parameters(chain, &params, &error); }))
      throw std::runtime_error(error);
    return jsonToPython(params);
  }

  // A bad key or value, or a chain position without a device, is the caller's (ValueError); a
  // device that cannot be read or written, the device's (RuntimeError).
  void setParameters(const py::object& position, const py::object& changes) {
    const int32_t chain = positionArg(position);
    if (!py::isinstance<py::dict>(changes)) throw py::type_error("parameters must be a dict");
    const nlohmann::json json = pythonToJson(changes, "parameters");
    std::string error;
    if (!_chain.hasPosition(chain, &error) || !Chain::checkParameters(json, &error))
      throw std::invalid_argument(error);
    if (!owned([&] { return _chain.setParameters(chain, json, &error); }))
      throw std::runtime_error(error);
  }

  void start(const py::object& text, const py::object& bin, const py::object& hdf5,
             const py::object& report, bool compress, const py::object& tmp) {
    ChainOutputs outputs;
    outputs.text = path(text);
    outputs.binary = path(bin);
    outputs.hdf5 = path(hdf5);
    outputs.report = path(report);
    outputs.tmpDir = path(tmp);
    outputs.compress = compress;
    // A stream belongs to one recording: one left open would hold up the next one's merge.
    if (_stream != nullptr) _stream->cut("a new recording began before the stream had every "
                                         "record of its own");
    std::string error;
    if (!owned([&] { return _chain.start(outputs, &error); })) throw std::runtime_error(error);
  }

  py::object stop() {
    // A reader on this thread cannot take blocks while it waits here: it is ended, so that the
    // merge does not wait for it. A reader on another thread gets every record.
    cutOwnStream("stop() on the stream's own thread ended it before it had every record");
    nlohmann::json report;
    std::string error;
    if (!owned([&] { return _chain.stop(&report, &error); })) throw std::runtime_error(error);
    return jsonToPython(report);
  }

  // Stops a recording as stop() does, then disconnects the devices.
  void close() {
    cutOwnStream("close() on the stream's own thread ended it before it had every record");
    owned([&] {
      _chain.close();
      return true;
    });
  }

  // Waits `seconds` while the chain records; Ctrl-C stops the recording (the data are kept, the
  // merge completes) and raises KeyboardInterrupt.
  void sleep(const py::object& length) {
    if (length.is_none()) throw std::invalid_argument("sleep: seconds must be 0 or more");
    const double seconds = secondsArg(length, "seconds");
    using Clock = std::chrono::steady_clock;
    // In floating point: any length, however long, gives a valid wait.
    const double end = std::chrono::duration<double>(Clock::now().time_since_epoch()).count() + seconds;
    for (;;) {
      const double left = end - std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
      if (left <= 0) return;
      {
        py::gil_scoped_release free;
        std::this_thread::sleep_for(std::chrono::duration<double>(std::min(left, kSignalCheckMs * 1e-3)));
      }
      checkSignals();
    }
  }

  std::unique_ptr<PyStream> stream(const py::object& self, const py::object& timeout) {
    const double seconds = secondsArg(timeout, "timeout");
    if (_stream != nullptr) _stream->cut("another stream of the chain took its place");
    std::unique_ptr<PyStream> s(new PyStream(this, &_chain.queue(), seconds));
    if (onMainThread()) catchInterrupt(self);
    return s;
  }

  // Python's pending signals: a KeyboardInterrupt first stops the recording, then is raised.
  void checkSignals() {
    if (PyErr_CheckSignals() == 0) return;
    py::error_already_set raised;
    if (raised.matches(PyExc_KeyboardInterrupt)) interrupted();
    throw raised;
  }

  // Ctrl-C: the recording stops (its merge completes, the outputs are kept) before
  // KeyboardInterrupt is raised.
  void interrupted() {
    cutOwnStream("Ctrl-C stopped the recording");
    restoreInterrupt();
    if (!_chain.recording()) return;
    nlohmann::json report;
    std::string error;
    owned([&] { return _chain.stop(&report, &error); });
  }

  void streamOpened(PyStream* s) { _stream = s; }
  void streamClosed(PyStream* s) {
    if (_stream != s) return;
    _stream = nullptr;
    restoreInterrupt();
  }

private:
  static std::string path(const py::object& value) {
    if (value.is_none()) return std::string();
    return py::str(py::module_::import("os").attr("fspath")(value));
  }

  // Runs `f` on the chain without the GIL, after any other thread's call on it.
  template <typename F>
  bool owned(F f) {
    py::gil_scoped_release free;
    std::lock_guard<std::mutex> hold(_turn);
    return f();
  }

  void cutOwnStream(const std::string& why) {
    if (_stream != nullptr && _stream->thread() == PyThread_get_thread_ident()) _stream->cut(why);
  }

  // While a stream of the main thread is open, Ctrl-C anywhere in the script (in the loop's
  // body too, where it lands most of the time) stops the recording first. Only in place of
  // Python's own handler: a script's handler of its own stays.
  void catchInterrupt(const py::object& self) {
    py::module_ signal = py::module_::import("signal");
    const py::object current = signal.attr("getsignal")(signal.attr("SIGINT"));
    if (!current.is(signal.attr("default_int_handler")) && !current.is(interruptHandler())) return;
    interruptTarget() = py::weakref(self);
    signal.attr("signal")(signal.attr("SIGINT"), interruptHandler());
  }

  // Python's handler again, from the main thread (the only one that may set it); a handler left
  // in place elsewhere does it itself at the next Ctrl-C.
  void restoreInterrupt() {
    try {
      const py::object target = interruptTarget();
      if (target.is_none() || !onMainThread()) return;
      const py::object chain = target();
      if (!chain.is_none() && &chain.cast<PyChain&>() != this) return;
      py::module_ signal = py::module_::import("signal");
      if (signal.attr("getsignal")(signal.attr("SIGINT")).is(interruptHandler()))
        signal.attr("signal")(signal.attr("SIGINT"), signal.attr("default_int_handler"));
      interruptTarget() = py::none();
    } catch (py::error_already_set&) {
      // The interpreter is shutting down: no handler matters any more.
    }
  }

  // The chain whose recording Ctrl-C stops (a weak reference), or None.
  static py::object& interruptTarget() {
    static py::object* target = new py::object(py::none());  // never freed: see below
    return *target;
  }
  // The SIGINT handler: stops the target's recording, then raises KeyboardInterrupt as Python's
  // own does. One for the process and never freed, since Python does not hold a handler while
  // it runs it, and this one puts Python's back in its place.
  static const py::object& interruptHandler() {
    static py::object* handler = new py::object(py::cpp_function([](py::object number, py::object frame) {
      const py::object target = interruptTarget();
      const py::object chain = target.is_none() ? py::object(py::none()) : target();
      if (!chain.is_none()) chain.cast<PyChain&>().interrupted();
      py::module_::import("signal").attr("default_int_handler")(number, frame);
    }));
    return *handler;
  }

  Chain _chain;
  std::mutex _turn;             // one call on _chain at a time
  PyStream* _stream = nullptr;  // the open stream, not owned
};

PyStream::PyStream(PyChain* owner, RecordQueue* queue, double timeoutSeconds)
    : _owner(owner), _queue(queue), _thread(PyThread_get_thread_ident()), _timeout(timeoutSeconds) {
  _queue->attach();
  _owner->streamOpened(this);
}

void PyStream::close() {
  if (_queue == nullptr) return;
  _queue->detach();
  _queue = nullptr;
  _owner->streamClosed(this);
}

void PyStream::cut(const std::string& why) {
  if (_queue == nullptr) return;
  if (!_queue->detach()) _cutShort = why;
  _queue = nullptr;
  _owner->streamClosed(this);
}

void PyStream::end() {
  if (!_cutShort.empty()) throw std::runtime_error("the stream ended before it had every record: " + _cutShort);
  throw py::stop_iteration();
}

py::array PyStream::next() {
  if (_queue == nullptr) end();
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(_timeout >= 0 ? std::min(_timeout, 1e9) : 0));
  auto* block = new std::vector<char>;
  std::unique_ptr<std::vector<char>> owned(block);
  for (;;) {
    int32_t waitMs = kSignalCheckMs;
    if (_timeout >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      waitMs = int32_t(std::max<int64_t>(0, std::min<int64_t>(waitMs, left.count() + 1)));
    }
    RecordQueue::Pop got;
    {
      py::gil_scoped_release free;
      got = _queue->pop(block, waitMs);
    }
    if (got == RecordQueue::Pop::kBlock) break;
    if (got == RecordQueue::Pop::kEnd) {
      // Ended by the chain meanwhile (cut), or the recording's end.
      if (_queue != nullptr && _queue->endedEarly())
        _cutShort = "the merge ended before the end of the recording (see stop())";
      close();
      end();
    }
    _owner->checkSignals();
    if (_queue == nullptr) end();
    if (_timeout >= 0 && Clock::now() >= deadline) {
      PyErr_SetString(PyExc_TimeoutError,
                      ("no merged records came within " + py::str(py::float_(_timeout)).cast<std::string>() +
                       " s; the stream is still open").c_str());
      throw py::error_already_set();
    }
  }
  const py::ssize_t count = py::ssize_t(block->size() / kMergeRecordSize);
  py::capsule holder(owned.release(),
                     [](void* p) { delete static_cast<std::vector<char>*>(p); });
  return py::array(_type, {count}, {py::ssize_t(kMergeRecordSize)}, block->data(), holder);
}

// The chain of a measurement: a Chain, or an object whose `_chain` is one (a Python subclass
// or wrapper).
PyChain& chainOf(const py::object& chain) {
  if (py::isinstance<PyChain>(chain)) return chain.cast<PyChain&>();
  if (py::hasattr(chain, "_chain") && py::isinstance<PyChain>(chain.attr("_chain")))
    return chain.attr("_chain").cast<PyChain&>();
  throw py::type_error("a measurement needs a ravik.Chain");
}

// Attaches a new measurement to the chain. Python's handle shares the measurement with the chain
// and, when it goes, detaches it, so the chain stops feeding a measurement nobody can read.
template <typename M>
std::shared_ptr<M> attach(const py::object& chain, std::shared_ptr<M> m) {
  MeasurementSet* set = &chainOf(chain).chain().measurements();
  set->add(m);
  return std::shared_ptr<M>(m.get(), [set, m](M*) { set->remove(m.get()); });
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "The live chain of devices and the measurements of its merged records.";
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const std::invalid_argument& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    }
  });

  py::class_<PyStream>(m, "Stream")
      .def("__iter__", [](PyStream& s) -> PyStream& { return s; })
      .def("__next__", &PyStream::next)
      .def("close", &PyStream::close)
      .def("__enter__", [](PyStream& s) -> PyStream& { return s; })
      .def("__exit__", [](PyStream& s, py::args) { s.close(); });

  py::class_<PyChain>(m, "Chain")
      .def(py::init<bool>(), py::arg("simulate") = false)
      .def_property_readonly("devices", &PyChain::devices)
      .def_property_readonly("messages", [](PyChain& c) { return c.chain().messages(); })
      .def_property_readonly("recording", [](PyChain& c) { return c.chain().recording(); })
      .def("parameters", &PyChain::parameters, py::arg("chain"))
      .def("set_parameters", &PyChain::setParameters, py::arg("chain"), py::arg("parameters"))
      .def("start", &PyChain::start, py::kw_only(), py::arg("text") = py::none(),
           py::arg("bin") = py::none(), py::arg("hdf5") = py::none(),
           py::arg("report") = py::none(), py::arg("compress") = false,
           py::arg("tmp") = py::none())
      .def("stop", &PyChain::stop)
      .def("sleep", &PyChain::sleep, py::arg("seconds"))
      .def("stream",
           [](py::object self, py::object timeout) {
             return self.cast<PyChain&>().stream(self, timeout);
           },
           py::arg("timeout") = py::none(), py::keep_alive<0, 1>(),
           "The merged records as they come, in numpy blocks. timeout: seconds that a wait for the "
           "next block may last before it raises TimeoutError (the stream stays open); None: no "
           "limit.")
      .def("close", &PyChain::close)
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](PyChain& c, py::object type, py::object, py::object) {
        // An exception already on its way wins over a failed stop; the data are kept either way.
        if (c.chain().recording() && type.is_none()) {
          try {
            c.stop();
          } catch (...) {
            c.close();
            throw;
          }
        }
        c.close();
      });

  py::class_<Measurement, std::shared_ptr<Measurement>>(m, "Measurement")
      .def("start", &Measurement::start)
      .def("stop", &Measurement::stop)
      .def("clear", &Measurement::clear)
      .def_property_readonly("running", &Measurement::running)
      .def_property_readonly("overflowed", &Measurement::overflowed)
      .def_property_readonly("span_ps", &Measurement::spanPs,
                             "Stream time fed since the last clear, in ps: the sum of the "
                             "stretches it saw (a pause between stop() and start() and the time "
                             "between two recordings left out). Rates and g(2) divide by it.");

  py::class_<CountRate, Measurement, std::shared_ptr<CountRate>>(m, "CountRate")
      .def(py::init([](py::object chain, py::object channels) {
             return attach(chain, std::make_shared<CountRate>(channelsArg(channels)));
           }),
           py::arg("chain"), py::arg("channels"), py::keep_alive<1, 2>())
      .def_property_readonly("channels", &CountRate::channels)
      .def("counts", [](const CountRate& r) { return toArray(r.counts()); })
      .def("data", [](const CountRate& r) { return toArray(r.data()); });

  py::class_<Correlation, Measurement, std::shared_ptr<Correlation>>(m, "Correlation")
      .def(py::init([](py::object chain, py::object a, py::object b, py::object binWidthPs,
                       py::object nBins) {
             return attach(chain, std::make_shared<Correlation>(
                                      channelArg(a, "a"), channelArg(b, "b"),
                                      picosecondsArg(binWidthPs, "bin_width_ps", 1), binsArg(nBins)));
           }),
           py::arg("chain"), py::arg("a"), py::arg("b"), py::kw_only(), py::arg("bin_width_ps"),
           py::arg("n_bins"), py::keep_alive<1, 2>())
      .def("data", [](const Correlation& c) { return toArray(c.data()); })
      .def("bin_edges_ps", [](const Correlation& c) { return toArray(c.binEdgesPs()); })
      .def("normalized", [](const Correlation& c) { return toArray(c.normalized()); })
      .def_property_readonly("count_a", &Correlation::countA)
      .def_property_readonly("count_b", &Correlation::countB);

  py::class_<TimeTrace, Measurement, std::shared_ptr<TimeTrace>>(m, "TimeTrace")
      .def(py::init([](py::object chain, py::object channels, py::object binWidthPs,
                       py::object nBins) {
             return attach(chain, std::make_shared<TimeTrace>(
                                      channelsArg(channels),
                                      picosecondsArg(binWidthPs, "bin_width_ps", 1), binsArg(nBins)));
           }),
           py::arg("chain"), py::arg("channels"), py::kw_only(), py::arg("bin_width_ps"),
           py::arg("n_bins"), py::keep_alive<1, 2>())
      .def("data",
           [](const TimeTrace& t) {
             const std::vector<std::vector<int64_t>> rows = t.data();
             py::array_t<int64_t> out({py::ssize_t(rows.size()), py::ssize_t(t.binCount())});
             auto view = out.mutable_unchecked<2>();
             for (size_t c = 0; c < rows.size(); ++c)
               for (size_t k = 0; k < rows[c].size(); ++k) view(c, k) = rows[c][k];
             return out;
           })
      .def_property_readonly("first_bin_ps", &TimeTrace::firstBinPs);

  py::class_<StartStop, Measurement, std::shared_ptr<StartStop>>(m, "StartStop")
      .def(py::init([](py::object chain, py::object start, py::object stop, py::object binWidthPs,
                       py::object nBins) {
             return attach(chain, std::make_shared<StartStop>(
                                      channelArg(start, "start"), channelArg(stop, "stop"),
                                      picosecondsArg(binWidthPs, "bin_width_ps", 1), binsArg(nBins)));
           }),
           py::arg("chain"), py::arg("start"), py::arg("stop"), py::kw_only(),
           py::arg("bin_width_ps"), py::arg("n_bins"), py::keep_alive<1, 2>())
      .def("data", [](const StartStop& s) { return toArray(s.data()); });

  py::class_<TimeDifferences, Measurement, std::shared_ptr<TimeDifferences>>(
      m, "TimeDifferences",
      "Histograms of the delay from each record of `start` to every record of each channel of "
      "`stops` within [0, n_bins * bin_width_ps) ps, one histogram per stop channel, whatever the "
      "order in which the two records came. With `next`, each record of that channel moves on to "
      "the next of `n_histograms` rows (a scan; after the last row the first comes again), and a "
      "pair counts in the row that was current when its start came.")
      .def(py::init([](py::object chain, py::object start, py::object stops, py::object binWidthPs,
                       py::object nBins, py::object next, py::object nHistograms) {
             return attach(chain, std::make_shared<TimeDifferences>(
                                      channelArg(start, "start"), channelsArg(stops, "stops"),
                                      picosecondsArg(binWidthPs, "bin_width_ps", 1), binsArg(nBins),
                                      next.is_none() ? int16_t(-1) : channelArg(next, "next"),
                                      binsArg(nHistograms, "n_histograms")));
           }),
           py::arg("chain"), py::arg("start"), py::arg("stops"), py::kw_only(),
           py::arg("bin_width_ps"), py::arg("n_bins"), py::arg("next") = py::none(),
           py::arg("n_histograms") = 1, py::keep_alive<1, 2>())
      .def(
          "data",
          [](const TimeDifferences& d) {
            const std::vector<int64_t> counts = d.data();
            const py::ssize_t stops = py::ssize_t(d.stopChannels().size()), rows = d.histogramCount(),
                              bins = d.binCount();
            py::array_t<int64_t> out = toArray(counts);
            if (d.nextChannel() < 0) return py::array(out.reshape({stops, bins}));
            return py::array(out.reshape({stops, rows, bins}));
          },
          "Counts as an int64 array: [stop, bin] without `next`, [stop, row, bin] with it; bin i "
          "holds delays i * bin_width_ps <= d < (i + 1) * bin_width_ps.")
      .def(
          "bin_edges_ps",
          [](const TimeDifferences& d) {
            std::vector<int64_t> edges(size_t(d.binCount()) + 1);
            for (size_t i = 0; i < edges.size(); ++i) edges[i] = int64_t(i) * d.binWidthPs();
            return toArray(edges);
          },
          "The n_bins + 1 bin edges in ps, from 0.")
      .def_property_readonly("histogram_index", &TimeDifferences::currentHistogram,
                             "The row that the next start goes to (0 after clear()).");

  py::class_<Histogram2D, Measurement, std::shared_ptr<Histogram2D>>(
      m, "Histogram2D",
      "The joint histogram of (t(stop1) - t(start), t(stop2) - t(start)) in ps, for the first "
      "record of each stop channel after each start record; a start counts once both of its "
      "stops have come, when both delays fall within their bins.")
      .def(py::init([](py::object chain, py::object start, py::object stop1, py::object stop2,
                       py::object width1, py::object n1, py::object width2, py::object n2) {
             return attach(chain, std::make_shared<Histogram2D>(
                                      channelArg(start, "start"), channelArg(stop1, "stop1"),
                                      channelArg(stop2, "stop2"),
                                      picosecondsArg(width1, "bin_width1_ps", 1), binsArg(n1, "n_bins1"),
                                      picosecondsArg(width2, "bin_width2_ps", 1), binsArg(n2, "n_bins2")));
           }),
           py::arg("chain"), py::arg("start"), py::arg("stop1"), py::arg("stop2"), py::kw_only(),
           py::arg("bin_width1_ps"), py::arg("n_bins1"), py::arg("bin_width2_ps"),
           py::arg("n_bins2"), py::keep_alive<1, 2>())
      .def(
          "data",
          [](const Histogram2D& h) {
            py::array_t<int64_t> out = toArray(h.data());
            return py::array(out.reshape({py::ssize_t(h.binCount1()), py::ssize_t(h.binCount2())}));
          },
          "Counts as an int64 array [i, j]: i * bin_width1_ps <= d1 < (i + 1) * bin_width1_ps and "
          "j * bin_width2_ps <= d2 < (j + 1) * bin_width2_ps.");

  py::class_<Coincidences, Measurement, std::shared_ptr<Coincidences>>(m, "Coincidences")
      .def(py::init([](py::object chain, py::object groups, py::object windowPs) {
             std::vector<std::vector<int16_t>> lists;
             if (!py::isinstance<py::iterable>(groups) || py::isinstance<py::str>(groups))
               throw py::type_error("groups: a list of lists of channels is expected");
             for (const py::handle group : py::iter(groups)) lists.push_back(channelsArg(group, "groups"));
             return attach(chain, std::make_shared<Coincidences>(
                                      lists, picosecondsArg(windowPs, "window_ps", 0)));
           }),
           py::arg("chain"), py::arg("groups"), py::kw_only(), py::arg("window_ps"),
           py::keep_alive<1, 2>())
      .def("data", [](const Coincidences& c) { return toArray(c.data()); });
}
