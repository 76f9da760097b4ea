// The compiled core of the Python package: the live chain bound with pybind11, and the module
// that holds it and the measurements (measurements.cpp). Errors become Python exceptions
// carrying the library's or the system's message; every wait releases the GIL and looks for
// Ctrl-C every kSignalCheckMs.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <math.h>
#include <stdint.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "chain/chain.h"
#include "monitor/keepfilter.h"
#include "merge/mergecore.h"
#include "python/ravik/bindings.h"

namespace py = pybind11;
using namespace ravikpy;

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
             const py::object& report, const py::object& compress, const py::object& tmp,
             const py::object& keep, bool writeVirtual, const py::object& minFree,
             const py::object& splitSize, const py::object& splitTime) {
    ChainOutputs outputs;
    outputs.split = splitArg(splitSize, splitTime);
    outputs.compress = compressionArg(compress);
    std::string error;
    if (!hdf5CanCompress(outputs.compress, &error)) throw std::runtime_error(error);
    outputs.writeVirtual = writeVirtual;
    outputs.minFree = minFreeArg(minFree);
    if (!keep.is_none()) {
      if (!py::isinstance<py::str>(keep)) throw py::type_error("keep must be a str");
      outputs.keep = keep.cast<std::string>();
      std::vector<KeepClause> clauses;
      std::string why;
      if (!parseKeep(outputs.keep, &clauses, &why)) throw std::invalid_argument("keep: " + why);
    }
    outputs.text = path(text);
    outputs.binary = path(bin);
    outputs.hdf5 = path(hdf5);
    outputs.report = path(report);
    outputs.tmpDir = path(tmp);
    // A stream belongs to one recording: one left open would hold up the next one's merge.
    if (_stream != nullptr) _stream->cut("a new recording began before the stream had every "
                                         "record of its own");
    if (!owned([&] { return _chain.start(outputs, &error); })) throw std::runtime_error(error);
  }

  py::object stop() {
    // A reader on this thread cannot take blocks while it waits here: it is ended, so that the
    // merge does not wait for it. A reader on another thread gets every record.
    cutOwnStream("stop() on the stream's own thread ended it before it had every record");
    nlohmann::json report;
    std::string error;
    const size_t said = _chain.messages().size();
    if (!owned([&] { return _chain.stop(&report, &error); })) throw std::runtime_error(error);
    // The warnings of a published run (see messages), as Python warnings.
    for (size_t i = said; i < _chain.messages().size(); ++i)
      if (PyErr_WarnEx(PyExc_RuntimeWarning, _chain.messages()[i].c_str(), 1) < 0)
        throw py::error_already_set();
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

  // Calls `step(ms)` without the GIL until it returns true, looking at Python's signals between
  // calls; false when `timeoutSeconds` (< 0: none) passed first.
  bool waitUntil(double timeoutSeconds, const std::function<bool(int32_t)>& step) {
    using Clock = std::chrono::steady_clock;
    const double end = std::chrono::duration<double>(Clock::now().time_since_epoch()).count() +
                       (timeoutSeconds >= 0 ? timeoutSeconds : 0);
    for (;;) {
      int32_t ms = kSignalCheckMs;
      if (timeoutSeconds >= 0) {
        const double left = end - std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
        ms = int32_t(std::max(0.0, std::min(double(ms), ceil(left * 1e3))));
      }
      bool done;
      {
        py::gil_scoped_release free;
        done = step(ms);
      }
      if (done) return true;
      checkSignals();
      if (timeoutSeconds >= 0 &&
          std::chrono::duration<double>(Clock::now().time_since_epoch()).count() >= end)
        return false;
    }
  }

  // Records until the merged records cover `seconds` of stream time, then stops as stop() does
  // and returns the run report. The devices stop a moment after that point (the merge follows
  // them, and stopping takes its time): the outputs and the measurements hold every record of
  // the recording, at least `seconds` of it.
  py::object recordFor(const py::object& length, const py::object& text, const py::object& bin,
                       const py::object& hdf5, const py::object& report,
                       const py::object& compress, const py::object& tmp, const py::object& keep,
                       bool writeVirtual, const py::object& minFree,
                       const py::object& splitSize, const py::object& splitTime) {
    if (length.is_none()) throw std::invalid_argument("record_for: stream_seconds must be 0 or more");
    compressionArg(compress);  // a bad one before the wait
    const double ps = secondsArg(length, "stream_seconds") * 1e12;
    const int64_t target = ps >= 9.2e18 ? INT64_MAX : int64_t(ceil(ps));
    start(text, bin, hdf5, report, compress, tmp, keep, writeVirtual, minFree, splitSize, splitTime);
    waitUntil(-1, [&](int32_t ms) {
      std::lock_guard<std::mutex> hold(_turn);
      int64_t covered = 0;
      return _chain.waitStreamTime(target, ms, &covered);
    });
    return stop();
  }

  // A size (min_free, split_size): a number of bytes, or a str as ravik-record takes it
  // ("500M", "2G").
  static int64_t sizeArg(const py::object& value, const char* name) {
    int64_t bytes = 0;
    if (py::isinstance<py::str>(value)) {
      if (!parseSize(value.cast<std::string>(), &bytes))
        throw std::invalid_argument(std::string(name) + ": '" + value.cast<std::string>() +
                                    "' is no size such as 500M or 2G");
      return bytes;
    }
    if (py::isinstance<py::bool_>(value) || !py::isinstance<py::int_>(value))
      throw py::type_error(std::string(name) +
                           " must be a number of bytes or a str such as \"2G\"");
    const long long n = value.cast<long long>();
    if (n < 0) throw std::invalid_argument(std::string(name) + " must be 0 or more");
    return int64_t(n);
  }

  // min_free: None for the default, else a size; 0 never stops.
  static int64_t minFreeArg(const py::object& value) {
    return value.is_none() ? kDefaultMinFree : sizeArg(value, "min_free");
  }

  // split_size (a size above 0) and split_time (seconds above 0); None: that rule is off.
  static SplitRule splitArg(const py::object& size, const py::object& time) {
    SplitRule rule;
    if (!size.is_none() && (rule.size = sizeArg(size, "split_size")) <= 0)
      throw std::invalid_argument("split_size must be above 0");
    if (!time.is_none()) {
      const double seconds = secondsArg(time, "split_time");
      if (!splitTimePs(seconds, &rule.timePs))
        throw std::invalid_argument("split_time must be above 0 and at most 1e7 seconds");
    }
    return rule;
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

}  // namespace

MeasurementSet& ravikpy::measurementsOf(const py::object& chain) {
  return chainOf(chain).chain().measurements();
}

bool ravikpy::waitOnChain(const py::handle& chain, double timeoutSeconds,
                          const std::function<bool(int32_t ms)>& step) {
  return chainOf(py::reinterpret_borrow<py::object>(chain)).waitUntil(timeoutSeconds, step);
}
Chain& ravikpy::liveChainOf(const py::object& chain) { return chainOf(chain).chain(); }

PYBIND11_MODULE(_core, m) {
  m.doc() = "The live chain of devices and the measurements of its merged records.";
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const std::invalid_argument& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    }
  });

  py::class_<PyStream>(m, "Stream",
                       "The merged records of the chain's recording as they come: iterate it for "
                       "numpy arrays of ravik.RECORD (time in ps, output channel) in merge order. "
                       "Made by Chain.stream(); it ends, having given every record, when the "
                       "recording's merge ends, and raises when records would be missing.")
      .def("__iter__", [](PyStream& s) -> PyStream& { return s; }, "The stream itself.")
      .def("__next__", &PyStream::next,
           "The next block of records (a numpy array of ravik.RECORD); StopIteration at the end "
           "of the recording, TimeoutError after the stream's timeout (it stays open), "
           "RuntimeError when it ended before it had every record.")
      .def("close", &PyStream::close, "Ends the stream quietly: the merge no longer waits for it.")
      .def("__enter__", [](PyStream& s) -> PyStream& { return s; }, "The stream itself.")
      .def("__exit__", [](PyStream& s, py::args) { s.close(); }, "Closes the stream.");

  py::class_<PyChain>(m, "Chain",
                      "The chain of devices: found, connected and ordered (master first) when "
                      "made, recorded as often as asked, merged while it records into the "
                      "outputs, the measurements attached to it and a stream. One chain may be "
                      "open in a process at a time; use it in a with block, which stops a "
                      "recording and closes the chain at its end.")
      .def(py::init<bool>(), py::arg("simulate") = false,
           "Finds, connects and orders the devices; simulate=True also finds simulated ones. "
           "RuntimeError when no device could be placed or another chain is open.")
      .def_property_readonly("devices", &PyChain::devices,
                             "The devices in chain order: dicts of serial, index (the library's), "
                             "chain (position, 0 the master), role and features (bits).")
      .def_property_readonly("messages", [](PyChain& c) { return c.chain().messages(); },
                             "What the device search reported on the way, and the warnings "
                             "of the recordings since (a list of str); stop() also gives "
                             "its warnings as RuntimeWarning.")
      .def_property_readonly("recording", [](PyChain& c) { return c.chain().recording(); },
                             "True from start() until stop(), also once the recording stopped "
                             "by itself (see stop_reason).")
      .def_property_readonly("stop_reason",
                             [](PyChain& c) { return jsonToPython(c.chain().stopReason()); },
                             "Why the last recording stopped by itself, None when it did not: a "
                             "dict of cause (\"free space\"), folder, free_bytes, min_free_bytes "
                             "and merge_needs_bytes, when a file system it writes to fell below "
                             "min_free. The devices then stop, the merge completes what they "
                             "recorded and stop() publishes it; nothing is raised.")
      .def("parameters", &PyChain::parameters, py::arg("chain"),
           "The parameters of the device at chain position `chain` as a dict, as the run report "
           "gives them (delays and dead times in ns, thresholds in V).")
      .def("set_parameters", &PyChain::setParameters, py::arg("chain"), py::arg("parameters"),
           "Sets the keys given (a dict as parameters() returns; the others stay) on the device at "
           "chain position `chain`, at once; not while recording. ValueError names a bad key or "
           "value.")
      .def("start", &PyChain::start, py::kw_only(), py::arg("text") = py::none(),
           py::arg("bin") = py::none(), py::arg("hdf5") = py::none(),
           py::arg("report") = py::none(), py::arg("compress") = false,
           py::arg("tmp") = py::none(), py::arg("keep") = py::none(),
           py::arg("write_virtual") = false, py::arg("min_free") = py::none(),
           py::arg("split_size") = py::none(), py::arg("split_time") = py::none(),
           "Starts a recording into the outputs given (paths; none: measure and stream only), "
           "merging while it records. report: the run report's path; compress: the HDF5 "
           "columns, True for shuffle and deflate, \"fast\" for bitshuffle and LZ4 (needs the "
           "Debian package bitshuffle; RuntimeError without it); tmp: where the recording's raw files go; keep: a filter of what is written, "
           "as ravik-record's --keep takes it (\"6,11 within 5000 of 1\"); write_virtual: the "
           "chain's virtual channels go to the outputs and the stream too, labelled in the report "
           "and the HDF5 file; min_free: the recording stops by itself once the temp folder's or "
           "an output's file system has less free space (bytes, or \"500M\", \"2G\"; None: 2G; "
           "0: never), see stop_reason; split_size (bytes, or \"500M\"), split_time (seconds of "
           "stream time): each output is written in parts run-0001.bin, run-0002.bin, ..., each "
           "complete and in place while the recording goes on, listed in the report's "
           "\"parts\" (ravik.load takes the report).")
      .def("stop", &PyChain::stop,
           "Stops the recording, completes the merge and the outputs, and returns the run report "
           "as a dict; RuntimeError when an output could not be written (it says where the raw "
           "files are kept).")
      .def("sleep", &PyChain::sleep, py::arg("seconds"),
           "Waits `seconds` of wall-clock time while the chain records; Ctrl-C stops the "
           "recording (the data are kept) and raises KeyboardInterrupt.")
      .def("record_for", &PyChain::recordFor, py::arg("stream_seconds"), py::kw_only(),
           py::arg("text") = py::none(), py::arg("bin") = py::none(), py::arg("hdf5") = py::none(),
           py::arg("report") = py::none(), py::arg("compress") = false,
           py::arg("tmp") = py::none(), py::arg("keep") = py::none(),
           py::arg("write_virtual") = false, py::arg("min_free") = py::none(),
           py::arg("split_size") = py::none(), py::arg("split_time") = py::none(),
           "Starts a recording as start() does (same keywords), waits until its merged records "
           "cover `stream_seconds` of stream time (not wall-clock time), stops it as stop() does "
           "and returns the run report. The devices stop a moment later than that point, so the "
           "outputs and the measurements hold every record of a little more than "
           "`stream_seconds`. Ctrl-C as in sleep().")
      .def("stream",
           [](py::object self, py::object timeout) {
             return self.cast<PyChain&>().stream(self, timeout);
           },
           py::arg("timeout") = py::none(), py::keep_alive<0, 1>(),
           "The merged records as they come, in numpy blocks. timeout: seconds that a wait for the "
           "next block may last before it raises TimeoutError (the stream stays open); None: no "
           "limit.")
      .def("close", &PyChain::close,
           "Stops a recording as stop() does, then disconnects the devices; another chain may "
           "then be opened.")
      .def("__enter__", [](py::object self) { return self; }, "The chain itself.")
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
      }, "Stops a recording (unless an exception is on its way) and closes the chain.");

  bindMeasurements(m);
  bindControl(m);
  bindLogAndGated(m);
  bindVirtualChannels(m);
}
