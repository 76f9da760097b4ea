// The log-spaced correlation and the gated counter, bound with pybind11 like the other
// measurements (measurements.cpp): each attached to the chain it is made with.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <stdint.h>

#include <memory>
#include <vector>

#include "monitor/countbetweenmarkers.h"
#include "monitor/logcorrelation.h"
#include "python/ravik/bindings.h"

namespace py = pybind11;

void ravikpy::bindLogAndGated(py::module_& m) {
  using namespace ravikpy;
  py::class_<LogCorrelation, Measurement, std::shared_ptr<LogCorrelation>>(
      m, "LogCorrelation",
      "Histogram of the lag t(b) - t(a) in ps over every pair of a record of channel `a` and a "
      "different record of channel `b` (a == b: the auto-correlation), whatever their order of "
      "arrival, in log-spaced bins from min_lag_ps to max_lag_ps: bins_per_decade per decade, "
      "the edges rounded to whole ps, an edge that coincides with the one before it left out, "
      "max_lag_ps the last edge. Exact; when its history of recent records of `a` outgrows its "
      "bound, the pairs at the longest lags go missing and `overflowed` says so.")
      .def(py::init([](py::object chain, py::object a, py::object b, py::object minLagPs,
                       py::object maxLagPs, py::object binsPerDecade) {
             const int16_t chA = channelArg(a, "a"), chB = channelArg(b, "b");
             const int64_t shortest = picosecondsArg(minLagPs, "min_lag_ps", 1);
             const int64_t longest = picosecondsArg(maxLagPs, "max_lag_ps", shortest < INT64_MAX ? shortest + 1 : INT64_MAX);
             return attach(chain, std::make_shared<LogCorrelation>(
                                      chA, chB, shortest, longest,
                                      binsArg(binsPerDecade, "bins_per_decade")));
           }),
           py::arg("chain"), py::arg("a"), py::arg("b"), py::kw_only(), py::arg("min_lag_ps"),
           py::arg("max_lag_ps"), py::arg("bins_per_decade"), py::keep_alive<1, 2>(),
           "Correlates channel `b` against channel `a` (the same channel: auto-correlation) over "
           "lags from min_lag_ps to max_lag_ps, bins_per_decade log-spaced bins per decade.")
      .def("data", [](const LogCorrelation& c) { return toArray(c.data()); },
           "Pairs per bin as an int64 array: bin k holds lags edge[k] <= lag < edge[k + 1].")
      .def("bin_edges_ps", [](const LogCorrelation& c) { return toArray(c.binEdgesPs()); },
           "The bin edges in ps as an int64 array, one more than the bins.")
      .def("normalized", [](const LogCorrelation& c) { return toArray(c.normalized()); },
           "g(2) per bin as a float64 array: counts / (rate_a * rate_b * bin width * span), the "
           "rates per second of stream time (1 for independent channels); all 0 before records "
           "of both channels.")
      .def_property_readonly("count_a", &LogCorrelation::countA, "Records of `a` since the clear.")
      .def_property_readonly("count_b", &LogCorrelation::countB, "Records of `b` since the clear.");

  py::class_<CountBetweenMarkers, Measurement, std::shared_ptr<CountBetweenMarkers>>(
      m, "CountBetweenMarkers",
      "A gated counter synchronised to the experiment (a pixel clock, a scan step): each record "
      "of `begin` opens a gate, which closes at the next record of `begin` (opening the next "
      "gate) or of `end` when one is given. The records of `channel` whose time lies in gate i "
      "count in value i mod n_values: after n_values gates a new frame begins at value 0, each "
      "value cleared as its gate opens, so values not yet reached show the frame before. "
      "Records between an end and the next begin count nowhere.")
      .def(py::init([](py::object chain, py::object channel, py::object begin, py::object end,
                       py::object nValues) {
             return attach(chain, std::make_shared<CountBetweenMarkers>(
                                      channelArg(channel, "channel"), channelArg(begin, "begin"),
                                      end.is_none() ? int16_t(-1) : channelArg(end, "end"),
                                      binsArg(nValues, "n_values")));
           }),
           py::arg("chain"), py::arg("channel"), py::arg("begin"), py::arg("end") = py::none(),
           py::kw_only(), py::arg("n_values"), py::keep_alive<1, 2>(),
           "Counts the records of `channel` per gate opened by a record of `begin` and closed by "
           "the next record of `begin`, or of `end` when given; n_values gates to a frame.")
      .def("data", [](const CountBetweenMarkers& c) { return toArray(c.data()); },
           "Counts per value as an int64 array of n_values; the gate still open shows its "
           "records so far.")
      .def("bin_widths_ps", [](const CountBetweenMarkers& c) { return toArray(c.binWidthsPs()); },
           "The duration of each value's gate in ps as an int64 array (the gate still open: up "
           "to the latest record of its channels; 0 for values not yet reached).")
      .def_property_readonly("ready", &CountBetweenMarkers::frameComplete,
                             "True once n_values gates have closed since the clear: a whole "
                             "frame has been seen.");
}
