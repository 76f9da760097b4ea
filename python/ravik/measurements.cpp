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
  py::class_<Measurement, std::shared_ptr<Measurement>>(
      m, "Measurement",
      "Base of the measurements: each is attached to the chain it is made with and fed every "
      "merged record of its recordings in merge order while it runs (a new one runs). Times are "
      "in ps on the chain's time axis, channels are output channels, data come as numpy arrays.")
      .def("start", &Measurement::start, "Goes on counting the records that come.")
      .def("stop", &Measurement::stop,
           "Stops counting; the data stay, and the time until the next start() is not in the span.")
      .def("clear", &Measurement::clear,
           "Forgets the data, the span and the overflow; keeps running or stopped.")
      .def("wait", &waitForMeasurement, py::kw_only(), py::arg("counts") = py::none(),
           py::arg("stream_seconds") = py::none(), py::arg("timeout") = py::none(),
           "Returns once the measurement has counted `counts` events since its last clear "
           "(counted: the sum of what it put in its data, see below) and/or its span has reached "
           "`stream_seconds` of stream time; both when both are given. Counted is the sum of the "
           "histogram's bins (Correlation, StartStop, TimeDifferences, Histogram2D), of the "
           "counts per group (Coincidences), the records of its channels (CountRate, each channel "
           "once) and, for TimeTrace, every record it counted in a bin, also in bins since "
           "rolled out of its window. Woken by each batch of merged records, without polling. "
           "TimeoutError after `timeout` wall-clock seconds (None: no limit). Releases the GIL; "
           "Ctrl-C stops the chain's recording (the data are kept) and raises "
           "KeyboardInterrupt.")
      .def_property_readonly("counted", &Measurement::counted,
                             "What wait(counts=) compares: the counts put into the data since the "
                             "last clear (see wait()).")
      .def_property_readonly("running", &Measurement::running, "True while it counts.")
      .def_property_readonly("overflowed", &Measurement::overflowed,
                             "True when the data are not exact since the last clear: records were "
                             "dropped on the live path, came too far back, or a history outgrew "
                             "its bound.")
      .def_property_readonly("span_ps", &Measurement::spanPs,
                             "Stream time fed since the last clear, in ps: the sum of the "
                             "stretches it saw (a pause between stop() and start() and the time "
                             "between two recordings left out). Rates and g(2) divide by it.");

  py::class_<CountRate, Measurement, std::shared_ptr<CountRate>>(
      m, "CountRate", "Events per second of each channel: its records over the span.")
      .def(py::init([](py::object chain, py::object channels) {
             return attach(chain, std::make_shared<CountRate>(channelsArg(channels)));
           }),
           py::arg("chain"), py::arg("channels"), py::keep_alive<1, 2>(),
           "Counts the records of each channel of `channels` (a list of output channels).")
      .def_property_readonly("channels", &CountRate::channels, "The channels, in the order given.")
      .def("counts", [](const CountRate& r) { return toArray(r.counts()); },
           "Records per channel since the last clear, an int64 array in the order of channels.")
      .def("data", [](const CountRate& r) { return toArray(r.data()); },
           "Events per second per channel: counts() / (span_ps * 1e-12), a float64 array; 0 "
           "while the span is 0.");

  py::class_<Correlation, Measurement, std::shared_ptr<Correlation>>(
      m, "Correlation",
      "Histogram of t(b) - t(a) over every pair of a record of channel a and one of channel b "
      "(two different records when a = b), in n_bins bins of bin_width_ps from "
      "-(n_bins // 2) * bin_width_ps.")
      .def(py::init([](py::object chain, py::object a, py::object b, py::object binWidthPs,
                       py::object nBins) {
             return attach(chain, std::make_shared<Correlation>(
                                      channelArg(a, "a"), channelArg(b, "b"),
                                      picosecondsArg(binWidthPs, "bin_width_ps", 1), binsArg(nBins)));
           }),
           py::arg("chain"), py::arg("a"), py::arg("b"), py::kw_only(), py::arg("bin_width_ps"),
           py::arg("n_bins"), py::keep_alive<1, 2>(),
           "Correlates output channels a and b in n_bins bins of bin_width_ps ps.")
      .def("data", [](const Correlation& c) { return toArray(c.data()); },
           "Pairs per bin, an int64 array of n_bins: bin i holds delays edges[i] <= d < edges[i + 1].")
      .def("bin_edges_ps", [](const Correlation& c) { return toArray(c.binEdgesPs()); },
           "The n_bins + 1 bin edges in ps.")
      .def("normalized", [](const Correlation& c) { return toArray(c.normalized()); },
           "g(2) per bin, a float64 array: counts / (rate_a * rate_b * bin width * span), the "
           "rates over the span; 0 while the span or either count is 0.")
      .def_property_readonly("count_a", &Correlation::countA, "Records of a since the last clear.")
      .def_property_readonly("count_b", &Correlation::countB, "Records of b since the last clear.");

  py::class_<TimeTrace, Measurement, std::shared_ptr<TimeTrace>>(
      m, "TimeTrace",
      "Records per time bin of each channel over the last n_bins bins of bin_width_ps ps, "
      "aligned to multiples of the width on the time axis; the newest bin holds the latest "
      "record.")
      .def(py::init([](py::object chain, py::object channels, py::object binWidthPs,
                       py::object nBins) {
             return attach(chain, std::make_shared<TimeTrace>(
                                      channelsArg(channels),
                                      picosecondsArg(binWidthPs, "bin_width_ps", 1), binsArg(nBins)));
           }),
           py::arg("chain"), py::arg("channels"), py::kw_only(), py::arg("bin_width_ps"),
           py::arg("n_bins"), py::keep_alive<1, 2>(),
           "Traces the channels of `channels` in n_bins bins of bin_width_ps ps.")
      .def("data",
           [](const TimeTrace& t) {
             const std::vector<std::vector<int64_t>> rows = t.data();
             py::array_t<int64_t> out({py::ssize_t(rows.size()), py::ssize_t(t.binCount())});
             auto view = out.mutable_unchecked<2>();
             for (size_t c = 0; c < rows.size(); ++c)
               for (size_t k = 0; k < rows[c].size(); ++k) view(c, k) = rows[c][k];
             return out;
           },
           "Counts as an int64 array [channel, bin], the oldest bin first.")
      .def_property_readonly("first_bin_ps", &TimeTrace::firstBinPs,
                             "The lower edge of the oldest bin in ps; 0 before the first record.");

  py::class_<StartStop, Measurement, std::shared_ptr<StartStop>>(
      m, "StartStop",
      "Histogram of the delay from each record of `start` to the next record of `stop` in merge "
      "order, in n_bins bins of bin_width_ps ps from 0.")
      .def(py::init([](py::object chain, py::object start, py::object stop, py::object binWidthPs,
                       py::object nBins) {
             return attach(chain, std::make_shared<StartStop>(
                                      channelArg(start, "start"), channelArg(stop, "stop"),
                                      picosecondsArg(binWidthPs, "bin_width_ps", 1), binsArg(nBins)));
           }),
           py::arg("chain"), py::arg("start"), py::arg("stop"), py::kw_only(),
           py::arg("bin_width_ps"), py::arg("n_bins"), py::keep_alive<1, 2>(),
           "Start-stop delays of output channels start and stop.")
      .def("data", [](const StartStop& s) { return toArray(s.data()); },
           "Counts as an int64 array: bin i holds i * bin_width_ps <= delay < (i + 1) * bin_width_ps.");

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
           py::arg("n_histograms") = 1, py::keep_alive<1, 2>(),
           "Delays from output channel start to each of the channels `stops`; with `next`, a scan "
           "of n_histograms rows.")
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
           py::arg("n_bins2"), py::keep_alive<1, 2>(),
           "The joint histogram of the delays from output channel start to stop1 and to stop2.")
      .def(
          "data",
          [](const Histogram2D& h) {
            py::array_t<int64_t> out = toArray(h.data());
            return py::array(out.reshape({py::ssize_t(h.binCount1()), py::ssize_t(h.binCount2())}));
          },
          "Counts as an int64 array [i, j]: i * bin_width1_ps <= d1 < (i + 1) * bin_width1_ps and "
          "j * bin_width2_ps <= d2 < (j + 1) * bin_width2_ps.");

  py::class_<Coincidences, Measurement, std::shared_ptr<Coincidences>>(
      m, "Coincidences",
      "Per group of channels, its coincidences: a record of one of its channels counts one when "
      "every other channel of the group has its latest record within window_ps before it.")
      .def(py::init([](py::object chain, py::object groups, py::object windowPs) {
             std::vector<std::vector<int16_t>> lists;
             if (!py::isinstance<py::iterable>(groups) || py::isinstance<py::str>(groups))
               throw py::type_error("groups: a list of lists of channels is expected");
             for (const py::handle group : py::iter(groups)) lists.push_back(channelsArg(group, "groups"));
             return attach(chain, std::make_shared<Coincidences>(
                                      lists, picosecondsArg(windowPs, "window_ps", 0)));
           }),
           py::arg("chain"), py::arg("groups"), py::kw_only(), py::arg("window_ps"),
           py::keep_alive<1, 2>(),
           "Counts the coincidences of each group (a list of lists of output channels) within "
           "window_ps ps.")
      .def("data", [](const Coincidences& c) { return toArray(c.data()); },
           "Coincidences per group, an int64 array in the order of the groups.");
}
