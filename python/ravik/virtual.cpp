// The virtual channels of a chain, bound with pybind11: each is defined on the chain it is made
// with, for the measurements of its recordings from the next start on, and stands for its output
// channel wherever a measurement takes a channel.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "chain/chain.h"
#include "monitor/virtualchannels.h"
#include "python/ravik/bindings.h"

namespace py = pybind11;

namespace {

// A definition made on a chain; the subclasses only tell Python which kind it is.
struct PyVirtual {
  VirtualChannel definition;
};
struct PyDelayed : PyVirtual {};
struct PyCombiner : PyVirtual {};
struct PyCoincidence : PyVirtual {};
struct PyGated : PyVirtual {};

// Defines `v` on the chain (ValueError when it cannot be made) and keeps it with its number.
template <typename T>
T define(const py::object& chain, VirtualChannel v, const py::object& channel) {
  if (!channel.is_none())
    v.channel = int16_t(ravikpy::wholeNumber(channel, "output", kFirstVirtualChannel, kLastVirtualChannel));
  T made;
  made.definition = ravikpy::liveChainOf(chain).addVirtualChannel(v);
  return made;
}

VirtualChannel kindOf(VirtualChannel::Kind kind) {
  VirtualChannel v;
  v.kind = kind;
  return v;
}

const char* const kMadeWhen =
    " Defined on the chain for good: its measurements see it from the next start() on (a "
    "recording already running goes on without it). Pass it (or .channel) as a channel to any "
    "measurement of the chain. output: its channel number, 30000 to 32767; None: 30000 + the "
    "number of virtual channels the chain had.";

}  // namespace

void ravikpy::bindVirtualChannels(py::module_& m) {
  using K = VirtualChannel::Kind;
  py::class_<PyVirtual>(m, "VirtualChannel",
                        "A channel made of the chain's merged records; its records go to the "
                        "chain's measurements, and to the outputs and the stream of a recording "
                        "started with write_virtual=True.")
      .def_property_readonly(
          "channel", [](const PyVirtual& v) { return v.definition.channel; },
          "Its output channel number, in the block 30000 and up.")
      .def_property_readonly(
          "label", [](const PyVirtual& v) { return virtualLabel(v.definition); },
          "What it is, as the run report names it: 'virtual: 6 delayed by -1500 ps'.")
      .def("__index__", [](const PyVirtual& v) { return int64_t(v.definition.channel); })
      .def("__repr__", [](const PyVirtual& v) {
        return "<ravik channel " + std::to_string(v.definition.channel) + ", " +
               virtualLabel(v.definition) + ">";
      });

  py::class_<PyDelayed, PyVirtual>(m, "DelayedChannel",
                                   (std::string("Each record of `channel` again at t + delay_ps, "
                                                "of either sign and any length (seconds too).") +
                                    kMadeWhen).c_str())
      .def(py::init([](py::object chain, py::object channel, py::object delayPs, py::object output) {
             VirtualChannel v = kindOf(K::Delayed);
             v.inputs = {channelArg(channel)};
             v.delayPs = wholeNumber(delayPs, "delay_ps", INT64_MIN, INT64_MAX);
             return define<PyDelayed>(chain, v, output);
           }),
           py::arg("chain"), py::arg("channel"), py::kw_only(), py::arg("delay_ps"),
           py::arg("output") = py::none(),
           "Defines on `chain` the records of `channel` delayed by delay_ps (ps, either sign); "
           "output: its channel number in the block 30000 and up (None: the next free one).");

  py::class_<PyCombiner, PyVirtual>(m, "Combiner",
                                    (std::string("Every record of any of `channels`, as one "
                                                 "channel (a channel named twice counts once).") +
                                     kMadeWhen).c_str())
      .def(py::init([](py::object chain, py::object channels, py::object output) {
             VirtualChannel v = kindOf(K::Combined);
             v.inputs = channelsArg(channels);
             return define<PyCombiner>(chain, v, output);
           }),
           py::arg("chain"), py::arg("channels"), py::kw_only(), py::arg("output") = py::none(),
           "Defines on `chain` the records of all of `channels` as one channel; output: its "
           "channel number in the block 30000 and up (None: the next free one).");

  py::class_<PyCoincidence, PyVirtual>(
      m, "Coincidence",
      (std::string("A record at time t of one of `channels` for which every other one has its "
                   "latest record within [t - window_ps, t]: the records that Coincidences "
                   "counts, one each, at the time of the record that completes them.") +
       kMadeWhen).c_str())
      .def(py::init([](py::object chain, py::object channels, py::object windowPs, py::object output) {
             VirtualChannel v = kindOf(K::Coincidence);
             v.inputs = channelsArg(channels);
             v.windowPs = picosecondsArg(windowPs, "window_ps", 0);
             return define<PyCoincidence>(chain, v, output);
           }),
           py::arg("chain"), py::arg("channels"), py::kw_only(), py::arg("window_ps"),
           py::arg("output") = py::none(),
           "Defines on `chain` a record at each coincidence of `channels` within window_ps (ps); "
           "output: its channel number in the block 30000 and up (None: the next free one).");

  py::class_<PyGated, PyVirtual>(
      m, "GatedChannel",
      (std::string("The records of `channel` while the gate is open: a record of gate_open "
                   "opens it, one of gate_close closes it (closed at the start). Markers make "
                   "good gates.") +
       kMadeWhen).c_str())
      .def(py::init([](py::object chain, py::object channel, py::object open, py::object close,
                       py::object output) {
             VirtualChannel v = kindOf(K::Gated);
             v.inputs = {channelArg(channel)};
             v.gateOpen = channelArg(open, "gate_open");
             v.gateClose = channelArg(close, "gate_close");
             return define<PyGated>(chain, v, output);
           }),
           py::arg("chain"), py::arg("channel"), py::kw_only(), py::arg("gate_open"),
           py::arg("gate_close"), py::arg("output") = py::none(),
           "Defines on `chain` the records of `channel` between a record of gate_open and the "
           "next of gate_close; output: its channel number in the block 30000 and up (None: the "
           "next free one).");
}
