// Virtual channels: channels made of the merged records rather than by a device. A
// VirtualChannels stage passes every record on unchanged, in its order, and adds the records of
// each virtual channel under its own output channel, in merge order:
// - delayed: each record of a channel again at t + delay, of any sign and length (seconds too);
// - combined: each record of any of several channels, once, as one channel;
// - coincidence: a record of one of several channels for which every other channel of the list
//   has its latest record before it (in merge order) within [t - window, t]: the rule of the
//   Coincidences measurement, so that its count equals the number of these records;
// - gated: the records of a channel while the gate is open: opened by a record of one channel,
//   closed by a record of another (closed at the start).
// Records of the combined, coincidence and gated channels come right after the record that makes
// them, at its time (a record that opens or closes a gate does so before it counts as gated). A
// delayed record comes before the first record later than it in time of those not yet passed on
// when its source's batch comes (ties: the plain record first): a positive delay holds the
// delayed records back, a negative one holds the whole stream back by |delay|. So the records after a
// delayed one step back from it at most as far as the merged stream itself steps back.
//
// A definition may name markers (a marker as a gate) and virtual channels defined before it in
// the list (a delayed coincidence), which rules out cycles; never loss records (negative
// channels), which pass unchanged. Each definition has an output channel in the block
// kFirstVirtualChannel..kLastVirtualChannel, by default kFirstVirtualChannel + its place in the
// list. The block is free of every device's channels and markers up to chain position
// kMaxVirtualChainPos.
//
// Memory: a stage holds at most kMaxHistory records for each delayed channel. Beyond that a
// positive delay drops the new delayed records, a negative one lets the oldest held records go
// on early (the delayed records that belong before them then follow them); either way
// overflowed() says so from then on. No Qt; one thread at a time.
#ifndef RAVIK_MONITOR_VIRTUALCHANNELS_H
#define RAVIK_MONITOR_VIRTUALCHANNELS_H

#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "monitor/measurements.h"
#include "monitor/recordstage.h"

constexpr int16_t kFirstVirtualChannel = 30000;
constexpr int16_t kLastVirtualChannel = INT16_MAX;
// The largest chain position whose channels (5 x position + 0..5, markers 100..104 and
// 200..203 above 5 x position) all lie below the block.
constexpr int32_t kMaxVirtualChainPos = (kFirstVirtualChannel - 1 - 203) / 5;

struct VirtualChannel {
  enum class Kind { Delayed, Combined, Coincidence, Gated };
  Kind kind = Kind::Combined;
  // Its output channel; -1: kFirstVirtualChannel + its place in the list.
  int16_t channel = -1;
  // Delayed and gated: the one channel; combined and coincidence: the list.
  std::vector<int16_t> inputs;
  int64_t delayPs = 0;   // delayed
  int64_t windowPs = 0;  // coincidence
  int16_t gateOpen = -1, gateClose = -1;  // gated
};

// The text that names a virtual channel in the run report and the HDF5 file's detectors, as
// "virtual: coincidence of 1, 6 within 5000 ps".
std::string virtualLabel(const VirtualChannel& v);

// The definitions with their output channels filled in. Throws std::invalid_argument naming the
// definition ("virtual channel 2: ...") when one cannot be made: a negative or unknown input, a
// virtual input not defined before it, an output outside the block or given twice, a delay
// beyond +-2^62 ps, a window below 0, no or too many inputs, a gate opened and closed by one
// channel.
std::vector<VirtualChannel> resolveVirtualChannels(std::vector<VirtualChannel> definitions);

// Empty when a chain whose largest position is `largestChainPos` can use virtual channels, else
// why not.
std::string virtualChainError(int32_t largestChainPos);

class VirtualChannels : public RecordStage {
public:
  // Throws as resolveVirtualChannels() does.
  explicit VirtualChannels(std::vector<VirtualChannel> definitions);
  ~VirtualChannels() override;

  // With their output channels.
  const std::vector<VirtualChannel>& definitions() const { return _definitions; }

  void push(const TimeTag* tags, size_t count, std::vector<TimeTag>* out) override;
  void finish(std::vector<TimeTag>* out) override;

  // A delayed channel outgrew its bound since the stage began (see above).
  bool overflowed() const;

  // One definition's work on the stream, and the records between two of them: public only for
  // the implementation's file.
  class Step;
  class Buffer {
  public:
    Buffer();
    size_t size() const { return _size; }
    const TimeTag* data() const { return _data.get(); }
    void clear() { _size = 0; }
    // Where `n` more records go, after the size; setEnd() then says how many went.
    TimeTag* room(size_t n);
    void setEnd(const TimeTag* end) { _size = size_t(end - _data.get()); }
    void push_back(const TimeTag& tag) { *room(1) = tag, ++_size; }
    void append(const TimeTag* begin, const TimeTag* end) {
      setEnd(std::copy(begin, end, room(size_t(end - begin))));
    }

  private:
    std::unique_ptr<TimeTag[]> _data;  // not cleared when made: written before it is read
    size_t _size = 0, _capacity = 0;
  };

private:
  std::vector<VirtualChannel> _definitions;
  std::vector<std::unique_ptr<Step>> _steps;
  Buffer _between[2];  // the stream between two steps
};

#endif
