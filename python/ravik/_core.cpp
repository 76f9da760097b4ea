// The compiled core of the Python package: the live chain and the measurements, bound with
// pybind11. Errors become Python exceptions carrying the library's or the system's message; every
// wait releases the GIL and looks for Ctrl-C every kSignalCheckMs.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <stdint.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "live/chain.h"
#include "merge/mergecore.h"
#include "monitor/measurements.h"

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

nlohmann::json pythonToJson(const py::object& value) {
  const std::string text = py::str(py::module_::import("json").attr("dumps")(value));
  return nlohmann::json::parse(text);
}

template <typename T>
py::array_t<T> toArray(std::vector<T> values) {
  auto* held = new std::vector<T>(std::move(values));
  py::capsule owner(held, [](void* p) { delete static_cast<std::vector<T>*>(p); });
  return py::array_t<T>(py::ssize_t(held->size()), held->data(), owner);
}

class PyChain;

// One reader of the chain's merged records: an iterator of numpy blocks. While it lives it is
// the chain's reader; it ends when the recording's merge has ended and everything was taken.
class PyStream {
public:
  PyStream(PyChain* owner, RecordQueue* queue);
  ~PyStream() { close(); }
  py::array next();
  // Ends the stream: the chain's merge no longer waits for it.
  void close();
  bool closed() const { return _queue == nullptr; }
  unsigned long thread() const { return _thread; }

private:
  PyChain* _owner;
  RecordQueue* _queue;      // null once closed
  unsigned long _thread;    // the Python thread that opened it
  py::dtype _type = recordType();
};

// The chain as Python sees it: the live chain, and the stream open on it.
class PyChain {
public:
  explicit PyChain(bool simulate) {
    std::string error;
    bool opened;
    {
      py::gil_scoped_release free;
      opened = _chain.open(simulate, &error);
    }
    if (!opened) throw std::runtime_error(error);
  }
  ~PyChain() {
    if (_stream != nullptr) _stream->close();
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

  py::object parameters(int32_t chain) {
    nlohmann::json params;
    std::string error;
    if (!_chain.hasPosition(chain, &error)) throw std::invalid_argument(error);
    if (!_chain.parameters(chain, &params, &error)) throw std::runtime_error(error);
    return jsonToPython(params);
  }

  // A bad key or value, or a chain position without a device, is the caller's (ValueError); a
  // device that cannot be read or written, the device's (RuntimeError).
  void setParameters(int32_t chain, const py::object& changes) {
    if (!py::isinstance<py::dict>(changes)) throw py::type_error("parameters must be a dict");
    const nlohmann::json json = pythonToJson(changes);
    std::string error;
    if (!_chain.hasPosition(chain, &error) || !Chain::checkParameters(json, &error))
      throw std::invalid_argument(error);
    if (!_chain.setParameters(chain, json, &error)) throw std::runtime_error(error);
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
    if (_stream != nullptr) _stream->close();
    std::string error;
    bool started;
    {
      py::gil_scoped_release free;
      started = _chain.start(outputs, &error);
    }
    if (!started) throw std::runtime_error(error);
  }

  py::object stop() {
    // A reader on this thread cannot take blocks while it waits here: it is ended, so that the
    // merge does not wait for it.
    if (_stream != nullptr && _stream->thread() == PyThread_get_thread_ident()) _stream->close();
    nlohmann::json report;
    std::string error;
    bool stopped;
    {
      py::gil_scoped_release free;
      stopped = _chain.stop(&report, &error);
    }
    if (!stopped) throw std::runtime_error(error);
    return jsonToPython(report);
  }

  void close() {
    if (_stream != nullptr) _stream->close();
    py::gil_scoped_release free;
    _chain.close();
  }

  // Waits `seconds` while the chain records; Ctrl-C stops the recording (the data are kept, the
  // merge completes) and raises KeyboardInterrupt.
  void sleep(double seconds) {
    if (!(seconds >= 0)) throw std::invalid_argument("sleep: seconds must be 0 or more");
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

  std::unique_ptr<PyStream> stream() {
    if (_stream != nullptr) _stream->close();
    return std::unique_ptr<PyStream>(new PyStream(this, &_chain.queue()));
  }

  // Python's pending signals: a KeyboardInterrupt first stops the recording, then is raised.
  void checkSignals() {
    if (PyErr_CheckSignals() == 0) return;
    py::error_already_set raised;
    if (_chain.recording()) {
      if (_stream != nullptr) _stream->close();
      nlohmann::json report;
      std::string error;
      py::gil_scoped_release free;
      _chain.stop(&report, &error);
    }
    throw raised;
  }

  void streamOpened(PyStream* s) { _stream = s; }
  void streamClosed(PyStream* s) {
    if (_stream == s) _stream = nullptr;
  }

private:
  static std::string path(const py::object& value) {
    if (value.is_none()) return std::string();
    return py::str(py::module_::import("os").attr("fspath")(value));
  }

  Chain _chain;
  PyStream* _stream = nullptr;  // the open stream, not owned
};

PyStream::PyStream(PyChain* owner, RecordQueue* queue)
    : _owner(owner), _queue(queue), _thread(PyThread_get_thread_ident()) {
  _queue->attach();
  _owner->streamOpened(this);
}

void PyStream::close() {
  if (_queue == nullptr) return;
  _queue->detach();
  _queue = nullptr;
  _owner->streamClosed(this);
}

py::array PyStream::next() {
  if (_queue == nullptr) throw py::stop_iteration();
  auto* block = new std::vector<char>;
  std::unique_ptr<std::vector<char>> owned(block);
  for (;;) {
    RecordQueue::Pop got;
    {
      py::gil_scoped_release free;
      got = _queue->pop(block, kSignalCheckMs);
    }
    if (got == RecordQueue::Pop::kBlock) break;
    if (got == RecordQueue::Pop::kEnd) {
      close();
      throw py::stop_iteration();
    }
    _owner->checkSignals();
    if (_queue == nullptr) throw py::stop_iteration();
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
      .def("stream", &PyChain::stream, py::keep_alive<0, 1>())
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
      .def_property_readonly("span_ps", &Measurement::spanPs);

  py::class_<CountRate, Measurement, std::shared_ptr<CountRate>>(m, "CountRate")
      .def(py::init([](py::object chain, std::vector<int16_t> channels) {
             return attach(chain, std::make_shared<CountRate>(channels));
           }),
           py::arg("chain"), py::arg("channels"), py::keep_alive<1, 2>())
      .def_property_readonly("channels", &CountRate::channels)
      .def("counts", [](const CountRate& r) { return toArray(r.counts()); })
      .def("data", [](const CountRate& r) { return toArray(r.data()); });

  py::class_<Correlation, Measurement, std::shared_ptr<Correlation>>(m, "Correlation")
      .def(py::init([](py::object chain, int16_t a, int16_t b, int64_t binWidthPs, int32_t nBins) {
             return attach(chain, std::make_shared<Correlation>(a, b, binWidthPs, nBins));
           }),
           py::arg("chain"), py::arg("a"), py::arg("b"), py::kw_only(), py::arg("bin_width_ps"),
           py::arg("n_bins"), py::keep_alive<1, 2>())
      .def("data", [](const Correlation& c) { return toArray(c.data()); })
      .def("bin_edges_ps", [](const Correlation& c) { return toArray(c.binEdgesPs()); })
      .def("normalized", [](const Correlation& c) { return toArray(c.normalized()); })
      .def_property_readonly("count_a", &Correlation::countA)
      .def_property_readonly("count_b", &Correlation::countB);

  py::class_<TimeTrace, Measurement, std::shared_ptr<TimeTrace>>(m, "TimeTrace")
      .def(py::init([](py::object chain, std::vector<int16_t> channels, int64_t binWidthPs,
                       int32_t nBins) {
             return attach(chain, std::make_shared<TimeTrace>(channels, binWidthPs, nBins));
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
      .def(py::init([](py::object chain, int16_t start, int16_t stop, int64_t binWidthPs,
                       int32_t nBins) {
             return attach(chain, std::make_shared<StartStop>(start, stop, binWidthPs, nBins));
           }),
           py::arg("chain"), py::arg("start"), py::arg("stop"), py::kw_only(),
           py::arg("bin_width_ps"), py::arg("n_bins"), py::keep_alive<1, 2>())
      .def("data", [](const StartStop& s) { return toArray(s.data()); });

  py::class_<Coincidences, Measurement, std::shared_ptr<Coincidences>>(m, "Coincidences")
      .def(py::init([](py::object chain, std::vector<std::vector<int16_t>> groups,
                       int64_t windowPs) {
             return attach(chain, std::make_shared<Coincidences>(groups, windowPs));
           }),
           py::arg("chain"), py::arg("groups"), py::kw_only(), py::arg("window_ps"),
           py::keep_alive<1, 2>())
      .def("data", [](const Coincidences& c) { return toArray(c.data()); });
}
