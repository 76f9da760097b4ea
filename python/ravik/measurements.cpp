// The measurements of the chain's merged records, bound with pybind11: each is attached to the
// chain it is made with and fed by every recording of it.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <stdint.h>

#include <memory>
#include <vector>

#include "monitor/measurements.h"
#include "monitor/timedifferences.h"
#include "python/ravik/bindings.h"

namespace py = pybind11;

void ravikpy::bindMeasurements(py::module_& m) {
  using namespace ravikpy;
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
