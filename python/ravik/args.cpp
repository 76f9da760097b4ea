// The checks and conversions of the arguments that the bound classes take from Python.
#include <pybind11/pybind11.h>

#include <math.h>
#include <stdint.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "python/ravik/bindings.h"

namespace py = pybind11;

namespace ravikpy {

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
int16_t channelArg(const py::handle& value, const char* name) {
  return int16_t(wholeNumber(value, name, 0, INT16_MAX));
}

std::vector<int16_t> channelsArg(const py::handle& values, const char* name) {
  std::vector<int16_t> channels;
  if (!py::isinstance<py::iterable>(values) || py::isinstance<py::str>(values))
    throw py::type_error(std::string(name) + ": a list of channels is expected");
  for (const py::handle item : py::iter(values)) channels.push_back(channelArg(item, name));
  return channels;
}

int32_t binsArg(const py::handle& value, const char* name) {
  return int32_t(wholeNumber(value, name, 1, kMaxMeasurementBins));
}

int64_t picosecondsArg(const py::handle& value, const char* name, int64_t least) {
  return wholeNumber(value, name, least, INT64_MAX);
}

int32_t positionArg(const py::handle& value) {
  return int32_t(wholeNumber(value, "chain", INT32_MIN, INT32_MAX));
}

Hdf5Compression compressionArg(const py::handle& value) {
  if (py::isinstance<py::bool_>(value))
    return value.cast<bool>() ? Hdf5Compression::Deflate : Hdf5Compression::None;
  if (py::isinstance<py::str>(value) && value.cast<std::string>() == "fast")
    return Hdf5Compression::Fast;
  throw std::invalid_argument("compress: False, True (deflate) or \"fast\" is expected, not " +
                              std::string(py::repr(value)));
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

}  // namespace ravikpy
