// The live chain: the devices found, connected and ordered once, recorded as often as asked, and
// merged while they record into the chosen outputs, the attached measurements and a stream of
// merged records for one reader. The Python package's Chain is this class; no Qt.
//
// Only one Chain may be open in a process at a time: the device library's discovery closes every
// connection and its event callback is global. Closing the chain lets another one open.
//
// Threads: open(), close(), start(), stop() and the parameter calls come from one thread at a
// time (the owner); measurements() and queue() may be used from any thread. While recording, a
// thread of the chain polls the devices' loss and clock state, and one merges.
#ifndef RAVIK_CHAIN_CHAIN_H
#define RAVIK_CHAIN_CHAIN_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "chain/devicesearch.h"
#include "chain/freespace.h"
#include "chain/partwriter.h"
#include "chain/recordqueue.h"
#include "merge/hdf5output.h"
#include "monitor/measurements.h"
#include "monitor/virtualchannels.h"

struct ChainDevice {
  std::string serial;
  uint32_t index = 0;     // library device index
  int32_t chain = 0;      // chain position, 0 the master
  std::string role;       // "Master", "Slave 1", ...
  uint32_t features = 0;  // KorbaltFeature bits
};

// The outputs of a recording; an empty path: not written. With none, the chain only measures and
// streams, and its raw files go at the stop (unless the merge failed).
struct ChainOutputs {
  std::string text, binary, hdf5;
  Hdf5Compression compress = Hdf5Compression::None;  // the HDF5 file's columns
  std::string report;     // the run report; empty: beside the binary or else the text output
  std::string tmpDir;     // where the recording's folder goes; empty: $TMPDIR or /tmp
  std::string keep;       // the filter of what the outputs hold (monitor/keepfilter.h); empty: none
  // The chain's virtual channels go to the outputs and the stream too, ahead of the filter; the
  // measurements then see them as the outputs hold them.
  bool writeVirtual = false;
  // Below this free space on the temp folder's or an output's file system (with what the merge
  // still has to write there) the recording stops by itself; 0: never.
  int64_t minFree = kDefaultMinFree;
  SplitRule split{};  // the outputs in parts (see PartWriter); off: whole
};

class Chain {
public:
  // Bytes of merged records the stream holds at most before its reader takes them.
  static constexpr size_t kStreamBytes = size_t(64) << 20;

  Chain();
  // Stops a recording (merging it as stop() does) and closes.
  ~Chain();
  Chain(const Chain&) = delete;
  Chain& operator=(const Chain&) = delete;

  // Discovers the devices (simulated ones too when `allowSim`), connects them and orders them,
  // master first. What the search reports on the way (a device without a chain position, a
  // failed connect) is in messages(). False with a message when another chain is open or no
  // device could be placed in the chain.
  bool open(bool allowSim, std::string* error);
  // Stops a recording and disconnects the devices.
  void close();
  bool isOpen() const { return _open; }
  // What the device search reported on the way, and the warnings of the recordings since.
  const std::vector<std::string>& messages() const { return _messages; }
  std::vector<ChainDevice> devices() const;

  // True when a device sits at chain position `chain`; else false with a message.
  bool hasPosition(int32_t chain, std::string* error) const;
  // False with a message naming the key when `changes` has a key that is not a parameter, a
  // wrong type or a value out of range, whatever the device.
  static bool checkParameters(const nlohmann::json& changes, std::string* error);
  // The parameters of the device at chain position `chain`, as the run report gives them.
  bool parameters(int32_t chain, nlohmann::json* params, std::string* error) const;
  // Sets the keys given and leaves the others; written to the device at once (the master's
  // five-channel mode also to every capable device). Not while recording.
  bool setParameters(int32_t chain, const nlohmann::json& changes, std::string* error);

  MeasurementSet& measurements() { return _measurements; }

  // Defines a virtual channel, which the measurements see from the next start on (a recording
  // running goes on without it), and returns it with its output channel. Throws
  // std::invalid_argument as resolveVirtualChannels() does (the list stays as it was).
  VirtualChannel addVirtualChannel(const VirtualChannel& definition);
  const std::vector<VirtualChannel>& virtualChannels() const { return _virtuals; }
  RecordQueue& queue() { return _queue; }

  // Starts a recording into `outputs` and its merge. False with a message when an output cannot be
  // created, a device fails to start or another chain records.
  bool start(const ChainOutputs& outputs, std::string* error);
  // True from start() to stop(), also once the recording stopped by itself (see stopReason()).
  bool recording() const { return _run != nullptr; }
  // Why the last recording stopped by itself: a file system fell below the margin (see
  // FreeSpaceWatch::stopReasonJson()); null while it records as asked or stopped as asked. The
  // devices are stopped then, the merge completes what they recorded, and stop() publishes it.
  nlohmann::json stopReason() const;
  // Stops the recording, completes the merge, publishes the outputs and writes the run report,
  // which *report gets (also when the merge failed), with every device's losses. False with a
  // message when an output could not be written or a raw file read; the raw files are then
  // kept beside the run's manifest, and the message says where.
  bool stop(nlohmann::json* report, std::string* error);
  // Waits at most `timeoutMs` for the recording's merged records to cover `ps` of stream time
  // (see LiveSink::coveredPs()); *covered gets what they cover. True once they do, and when a
  // wait is of no use: no recording runs, or its merge has ended (early: stop() says why).
  bool waitStreamTime(int64_t ps, int32_t timeoutMs, int64_t* covered) const;

private:
  struct Run;
  // The device at chain position `chain`; null with a message when there is none.
  FoundDevice* find(int32_t chain, std::string* error);
  // The rest of stop() once the merge has ended; false with a message.
  bool finishRun(std::string* error);

  bool _open = false;
  std::vector<std::string> _messages;
  SearchResult _found;  // the chain, master first, and every device left connected
  MeasurementSet _measurements;
  std::vector<VirtualChannel> _virtuals;  // resolved
  RecordQueue _queue;
  std::unique_ptr<Run> _run;
  nlohmann::json _stopReason;  // of the last recording, once stopped
};

#endif
