#include "codec/tdc56.h"

#include <string.h>

#include <algorithm>

#include "trace/trace.h"

// Stream times wrap modulo 2^64 rather than overflow: they are added up in uint64_t and stored
// back as int64_t (two's complement). Differences are sign-extended into uint64_t for the same
// reason.

namespace {

constexpr uint32_t kSecondWordBit = 0x80000000u;
constexpr uint32_t kLow30 = 0x3FFFFFFFu;
constexpr uint32_t kLow28 = 0x0FFFFFFFu;
constexpr uint32_t kLow27 = 0x07FFFFFFu;
constexpr uint32_t kLow26 = 0x03FFFFFFu;
constexpr uint32_t kLow17 = 0x0001FFFFu;

// The marker time of the 60-bit format is a multiple of this; the remainder carries the flags.
constexpr int64_t kMarkerGrid = 5000;
constexpr uint32_t kMarkerFlags = 0x1FF;
// Marker channel of each marker flag bit.
constexpr uint8_t kMarkerChannel[9] = {100, 101, 102, 103, 104, 200, 201, 202, 203};

// Most timestamps one 60-bit packet can yield: three marker events of nine flags each.
constexpr int32_t kMaxPerPacket = 27;

// The two's-complement value of the low `bits` bits of `value`, as a modular 64-bit number.
constexpr uint64_t signExtend(uint64_t value, unsigned bits) {
  const uint64_t sign = uint64_t{1} << (bits - 1);
  return ((value & ((sign << 1) - 1)) ^ sign) - sign;
}

constexpr int64_t wrapAdd(int64_t a, uint64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + b);
}

void appendDirect(Tdc56Instance* instance, int64_t time, uint8_t channel) {
  const int32_t n = instance->outCount;
  if (static_cast<uint32_t>(n) < static_cast<uint32_t>(kTdc56ListSize)) {
    instance->outList[n] = PpTimest{time, channel};
  }
  if (n < INT32_MAX) instance->outCount = n + 1;  // saturates instead of overflowing
}

// Where the 60-bit decoder puts its events. ListWriter is the fast path, used only while no
// sorting and no virtual events are on and the list has room for every timestamp the stretch
// of packets can yield; InstanceWriter is the general path.
struct ListWriter {
  static constexpr bool kGroups = true;  // takes runs of plain packets four at a time
  PpTimest* list;
  int32_t count;
  // Whether what it was given came in time order, for tdc56Decode60Pop(): the differences'
  // sign bits (at their places in the payloads), and a flag for markers, backward absolute
  // times and times that wrapped.
  uint64_t differenceSigns = 0;
  bool outOfOrder = false;
  uint64_t segmentStart = 0;  // the time the differences since the last absolute time add to

  void signs(uint64_t bits) { differenceSigns |= bits; }
  void absolute(uint64_t from, uint64_t to) {
    endSegment(from);
    outOfOrder |= static_cast<int64_t>(to) < static_cast<int64_t>(from);
    segmentStart = to;
  }
  // Fewer than 256 differences of at most 2^56 each cannot wrap the time twice: times that only
  // went up end above where they began unless they wrapped.
  void endSegment(uint64_t time) {
    outOfOrder |= static_cast<int64_t>(time) < static_cast<int64_t>(segmentStart);
  }

  // Stores even what it does not keep (channels 6 and 7): the next event overwrites it, and a
  // store is cheaper than a mispredicted branch.
  void event(uint64_t time, uint32_t channel) {
    list[count] = PpTimest{static_cast<int64_t>(time), static_cast<uint8_t>(channel)};
    count += channel < 6;
  }
  void marker(int64_t time, uint8_t channel) {
    list[count] = PpTimest{time, channel};
    ++count;
    outOfOrder = true;  // a marker's time is cut down to its grid
  }
};

struct InstanceWriter {
  static constexpr bool kGroups = false;
  Tdc56Instance* instance;

  void event(uint64_t time, uint32_t channel) {
    if (channel >= 6) return;
    instance->lastTime = static_cast<int64_t>(time);
    const int64_t delivered = addVirtualEvents(instance, channel == 5);
    tdc56Push(instance, delivered, static_cast<uint8_t>(channel));
  }
  void marker(int64_t time, uint8_t channel) { appendDirect(instance, time, channel); }
  void signs(uint64_t) {}
  void absolute(uint64_t, uint64_t) {}
};

// A channel-6 event: its time's remainder modulo 5000 (with the sign of the time) holds the
// marker flags, the time cut down to the grid is the markers' time.
template <class Sink>
void deliverMarkers(Sink& sink, int64_t time, uint32_t markerMask) {
  const int64_t remainder = time % kMarkerGrid;
  const int64_t markerTime = time - remainder;
  uint32_t flags = static_cast<uint32_t>(static_cast<uint64_t>(remainder) & kMarkerFlags);
  for (flags &= markerMask; flags != 0; flags &= flags - 1) {
    sink.marker(markerTime, kMarkerChannel[__builtin_ctz(flags)]);
  }
}

void traceOrderingError(int32_t index, uint32_t first, uint32_t second) {
  traceTrace("Ordering error index %d, %08x %08x, dropping packet", index, first, second);
}

// The 60 payload bits of a packet, the first word's bits 0..29 below the second word's, hold
// the event packets' fields as a run from bit 0 upwards: for each event a difference and its
// 3-bit channel. Types 1, 2 and 3 differ only in the field widths (17, 27, 57), so each type is
// a row of three slots, and a slot the type lacks reads as a zero step on channel 7. Decoding
// every packet the same way costs a table load instead of a mispredicted branch per packet.
struct EventSlot {
  uint8_t shift;         // of the difference
  uint8_t channelShift;
  uint8_t channelFill;   // 7 for a missing slot
  uint64_t mask;         // of the difference, 0 for a missing slot
  uint64_t sign;         // sign bit of the difference
};

constexpr EventSlot eventSlot(unsigned shift, unsigned width) {
  return EventSlot{static_cast<uint8_t>(shift), static_cast<uint8_t>(shift + width), 0,
                   (uint64_t{1} << width) - 1, uint64_t{1} << (width - 1)};
}
constexpr EventSlot kNoEvent = {0, 0, 7, 0, 0};

constexpr EventSlot kEventSlots[4][3] = {
    {kNoEvent, kNoEvent, kNoEvent},  // type 0 carries an absolute time instead
    {eventSlot(0, 17), eventSlot(20, 17), eventSlot(40, 17)},
    {eventSlot(0, 27), eventSlot(30, 27), kNoEvent},
    {eventSlot(0, 57), kNoEvent, kNoEvent},
};

// The sign bits of each packet type's differences.
constexpr uint64_t signBits(const EventSlot (&slots)[3]) {
  return slots[0].sign << slots[0].shift | slots[1].sign << slots[1].shift |
         slots[2].sign << slots[2].shift;
}
constexpr uint64_t kSignBits[4] = {0, signBits(kEventSlots[1]), signBits(kEventSlots[2]),
                                   signBits(kEventSlots[3])};

template <class Sink>
inline void decodeSlot(Sink& sink, uint64_t& time, uint64_t payload, const EventSlot& slot,
                       uint32_t markerMask) {
  const uint64_t difference = (((payload >> slot.shift) & slot.mask) ^ slot.sign) - slot.sign;
  const uint32_t channel =
      (static_cast<uint32_t>(payload >> slot.channelShift) & 7) | slot.channelFill;
  time += difference;
  sink.event(time, channel);
  if (__builtin_expect(channel == 6, 0)) {
    deliverMarkers(sink, static_cast<int64_t>(time), markerMask);
  }
}

// One packet (first, second) of the 60-bit format; `index` is the block index of `first`, only
// for the trace. Returns false when the words break the bit-31 rule.
template <class Sink>
inline bool decodePacket(Sink& sink, uint64_t& time, uint32_t first, uint32_t second,
                         int32_t index, uint32_t markerMask) {
  if (__builtin_expect(((first | ~second) & kSecondWordBit) != 0, 0)) {
    traceOrderingError(index, first, second);
    return false;
  }
  const uint32_t type = ((second >> 29) & 2) | ((first >> 30) & 1);
  const uint64_t payload = (static_cast<uint64_t>(second & kLow30) << 30) | (first & kLow30);
  if (__builtin_expect(type == 0, 0)) {
    sink.absolute(time, payload);
    time = payload;
    return true;
  }
  if (__builtin_expect(time == 0, 0)) return true;  // no absolute time yet
  sink.signs(payload & kSignBits[type]);
  const EventSlot* slots = kEventSlots[type];
  decodeSlot(sink, time, payload, slots[0], markerMask);
  decodeSlot(sink, time, payload, slots[1], markerMask);
  decodeSlot(sink, time, payload, slots[2], markerMask);
  return true;
}

// Groups of four packets of one type whose events all fall on channels 0..5: in a busy stream
// nearly every packet is such a packet, of the type the event rate makes most common (three
// events a packet when they come closer than 65 ns, two up to 67 us). A group of them is decoded
// with fixed shifts, without the slot table, the channel checks and the marker branch of every
// event, which take most of a packet's instructions. One test of the group's eight words, two
// at a time in vector registers, tells whether the group is such a group.
typedef uint32_t WordVector __attribute__((vector_size(16)));
constexpr int32_t kGroupWords = 8;

// The layout of packet types 1 and 2 in the group test: the two top bits of the first and the
// second word (the bit-31 rule and the type), the higher of the two high bits of each channel
// field (both are set only for channels 6 and 7), and the sign bits of the differences.
template <uint32_t kType>
struct GroupLayout {
  static_assert(kType == 1 || kType == 2, "three or two events a packet");
  static constexpr uint32_t kFirstTop = kType == 1 ? 0x40000000u : 0;
  static constexpr uint32_t kSecondTop = kType == 1 ? 0x80000000u : 0xC0000000u;
  static constexpr uint32_t kFirstHigh = kType == 1 ? 1u << 19 : 1u << 29;
  static constexpr uint32_t kSecondHigh = kType == 1 ? 1u << 9 | 1u << 29 : 1u << 29;
  static constexpr uint32_t kFirstSign = kType == 1 ? 1u << 16 : 1u << 26;
  static constexpr uint32_t kSecondSign = kType == 1 ? 1u << 6 | 1u << 26 : 1u << 26;
  static constexpr int32_t kEvents = kType == 1 ? 12 : 8;
};

// Whether the eight words at `w` are four packets of type kType with events on channels 0..5
// only. `w` may be unaligned.
template <uint32_t kType>
inline bool isPlainGroup(const uint32_t* w) {
  using L = GroupLayout<kType>;
  constexpr WordVector kTop = {0xC0000000u, 0xC0000000u, 0xC0000000u, 0xC0000000u};
  constexpr WordVector kWant = {L::kFirstTop, L::kSecondTop, L::kFirstTop, L::kSecondTop};
  constexpr WordVector kHigh = {L::kFirstHigh, L::kSecondHigh, L::kFirstHigh, L::kSecondHigh};
  WordVector a, b;
  memcpy(&a, w, sizeof a);
  memcpy(&b, w + 4, sizeof b);
  const WordVector wrong = ((a & kTop) ^ kWant) | ((b & kTop) ^ kWant) |
                           (a & (a << 1) & kHigh) | (b & (b << 1) & kHigh);
  uint64_t halves[2];
  memcpy(halves, &wrong, sizeof halves);
  return (halves[0] | halves[1]) == 0;
}

// The sign bits of the differences of the plain groups of type kType whose words were OR-ed
// into `words` (first and second words alternately).
template <uint32_t kType>
inline uint64_t groupSigns(WordVector words) {
  using L = GroupLayout<kType>;
  constexpr WordVector kSign = {L::kFirstSign, L::kSecondSign, L::kFirstSign, L::kSecondSign};
  const WordVector signs = words & kSign;
  uint64_t halves[2];
  memcpy(halves, &signs, sizeof halves);
  return halves[0] | halves[1];
}

// The low `bits` bits of `value` from bit `shift` on, sign-extended.
template <unsigned kShift, unsigned kBits>
constexpr uint64_t field(uint64_t value) {
  return static_cast<uint64_t>(static_cast<int64_t>(value << (64 - kShift - kBits)) >>
                               (64 - kBits));
}

// Decodes a group that isPlainGroup<kType>() accepted into the list. Every event is kept, so
// the count grows by the group's events at once. The words' sign bits are gathered into
// `signWords`, to be told to the sink when the stretch of packets ends.
template <uint32_t kType>
inline void decodePlainGroup(ListWriter& sink, uint64_t& time, const uint32_t* w,
                             WordVector& signWords) {
  PpTimest* out = sink.list + sink.count;
  uint64_t t = time;
  const auto put = [&](int32_t k, uint64_t difference, uint32_t channel) {
    t += difference;
    out[k].time = static_cast<int64_t>(t);
    out[k].channel = static_cast<uint8_t>(channel & 7);
  };
  WordVector a, b;
  memcpy(&a, w, sizeof a);
  memcpy(&b, w + 4, sizeof b);
  signWords |= a | b;
#pragma GCC unroll 4
  for (int32_t p = 0; p < 4; ++p) {
    const uint32_t first = w[2 * p], second = w[2 * p + 1];
    if (kType == 2) {
      put(2 * p, field<0, 27>(first), first >> 27);
      put(2 * p + 1, field<0, 27>(second), second >> 27);
    } else {
      const uint64_t payload = static_cast<uint64_t>(second) << 30 | (first & kLow30);
      put(3 * p, field<0, 17>(payload), first >> 17);
      put(3 * p + 1, field<20, 17>(payload), second >> 7);
      put(3 * p + 2, field<40, 17>(payload), second >> 27);
    }
  }
  sink.count += GroupLayout<kType>::kEvents;
  time = t;
}

// From a time at least this far from 0 (modulo 2^64) a group cannot reach 0, after which the
// packets would be skipped as before the first absolute time: its eight differences of at most
// 2^26 move the time by less than 2^29. (A wrap past the top of the time axis is no matter here:
// the sink sees it at the end of the stretch, as it does for single packets.)
constexpr uint64_t kGroupTimeFromZero = uint64_t{1} << 30;

// Decodes the four packets at `w` as a plain group if they are one; false if not. The words
// of the groups of type 1 and 2 are gathered in signWords[0] and [1].
inline bool decodeGroup(ListWriter& sink, uint64_t& time, const uint32_t* w,
                        WordVector* signWords) {
  if (time + kGroupTimeFromZero < 2 * kGroupTimeFromZero) return false;
  if ((w[1] & 0x40000000u) != 0) {  // a second word of type 2 or 3
    if (!isPlainGroup<2>(w)) return false;
    decodePlainGroup<2>(sink, time, w, signWords[1]);
  } else {
    if (!isPlainGroup<1>(w)) return false;
    decodePlainGroup<1>(sink, time, w, signWords[0]);
  }
  return true;
}

// Decodes the packets that begin at words[index], index + 2, ... and end before `end`; leaves
// `index` at the first word not decoded. Where the sink takes groups, a group of four packets
// that is not plain is decoded packet by packet, so that a stream of mixed packets costs one
// failed group test per four packets.
template <class Sink>
bool decodePackets(Sink& sink, uint64_t& time, const uint32_t* words, int32_t& index,
                   int32_t end, uint32_t markerMask) {
  // On copies held in registers: through the references, every store of a timestamp might
  // change them, so each step would go through memory.
  Sink local = sink;
  uint64_t t = time;
  int32_t i = index;
  bool ok = true;
  WordVector signWords[2] = {};
  while (end - i >= 2) {
    int32_t stop = end;
    if constexpr (Sink::kGroups) {
      if (end - i >= kGroupWords) {
        if (decodeGroup(local, t, words + i, signWords)) {
          i += kGroupWords;
          continue;
        }
        stop = i + kGroupWords;
      }
    }
    for (; stop - i >= 2; i += 2) {
      if (!decodePacket(local, t, words[i], words[i + 1], i, markerMask)) {
        ok = false;
        break;
      }
    }
    if (!ok) break;
  }
  if constexpr (Sink::kGroups)
    local.signs(groupSigns<1>(signWords[0]) | groupSigns<2>(signWords[1]));
  sink = local;
  time = t;
  index = i;
  return ok;
}

// Decodes the whole packets from words[index] to `end`, in stretches on the fast path where
// that is safe and on the general path otherwise.
bool decodeStretches(Tdc56Instance* instance, uint64_t& time, const uint32_t* words,
                     int32_t index, int32_t end, uint32_t markerMask) {
  const bool plain = instance->divider <= 1 && instance->sortActive == 0;
  while (end - index >= 2) {
    const int32_t room = plain ? (kTdc56ListSize - instance->outCount) / kMaxPerPacket : 0;
    if (room <= 0) {
      InstanceWriter sink{instance};
      return decodePackets(sink, time, words, index, end, markerMask);
    }
    const int32_t stop = index + 2 * std::min(room, (end - index) / 2);
    ListWriter sink{instance->outList, instance->outCount};
    const bool ok = decodePackets(sink, time, words, index, stop, markerMask);
    instance->outCount = sink.count;
    if (!ok) return false;
  }
  return true;
}

// The time of a 28-bit format event: the time base plus its low part. A time before the
// previous one means the low part has wrapped without a time-base word; one step of the time
// base puts it right.
int64_t extendTime28(Tdc56Instance* instance, uint32_t low) {
  int64_t t = wrapAdd(instance->timeBase, low);
  if (instance->lastTime > t) {
    instance->timeBase = wrapAdd(instance->timeBase, uint64_t{1} << 28);
    t = wrapAdd(instance->timeBase, low);
  }
  instance->lastTime = t;
  return t;
}

constexpr int64_t timeSince(int64_t time, int64_t start) {
  return wrapAdd(time, -static_cast<uint64_t>(start));
}

// `time` modulo the divided period, in 0 .. period - 1. A divided period of 0 cannot fold
// anything and leaves the time as it is.
int64_t foldIntoPeriod(int64_t time, int64_t period) {
  if (period == 0) return time;
  const int64_t r = period == -1 ? 0 : time % period;  // INT64_MIN % -1 would trap
  return r < 0 ? r + period : r;
}

// Delivers the virtual start events, the equal parts of the measured start period, that the
// stream time `time` has reached since the last start event.
void emitVirtualStarts(Tdc56Instance* instance, int64_t time) {
  // A double at or beyond 2^63 does not convert to int64_t; no real elapsed time gets there.
  constexpr double kLimit = 9.2e18;
  const double step = static_cast<double>(instance->measuredPeriod) / instance->divider;
  const double elapsed = static_cast<double>(timeSince(time, instance->startTime));
  double next = (instance->virtualCount + 1.0) * step;
  while (elapsed >= next && next < kLimit &&
         static_cast<int64_t>(instance->virtualCount) < instance->divider) {
    const uint64_t offset = static_cast<uint64_t>(static_cast<int64_t>(next));
    tdc56Push(instance, wrapAdd(instance->startTime, offset), 0);
    next += step;
    ++instance->virtualCount;
  }
}

// Regular event or marker of the 26-bit and byte formats at the current time, by its 6-bit code.
void deliverCoded(Tdc56Instance* instance, uint32_t code, uint32_t markerMask) {
  if (code <= 31) {
    tdc56Push(instance, addVirtualEvents(instance, false), static_cast<uint8_t>(code));
    return;
  }
  // Marker flag bit of the codes 33..41: 33..36 are flags 0..3, 37..40 flags 5..8, 41 flag 4.
  static constexpr int8_t kFlagOfCode[9] = {0, 1, 2, 3, 5, 6, 7, 8, 4};
  if (code < 33 || code > 41) return;
  const int flag = kFlagOfCode[code - 33];
  if (markerMask & (1u << flag)) {
    appendDirect(instance, instance->lastTime, kMarkerChannel[flag]);
  }
}

uint64_t readLittleEndian(const uint8_t* bytes, int length) {
  uint64_t value = 0;
  for (int i = length - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

void writeLittleEndian(uint8_t* bytes, uint64_t value, int length) {
  for (int i = 0; i < length; ++i, value >>= 8) bytes[i] = static_cast<uint8_t>(value);
}

// The 28-bit and 26-bit formats share one encoder loop: a time-base word whenever the high part
// of the time grows, else an event word.
struct Format28 {
  static constexpr int kLowBits = 28;
  static uint32_t baseWord(uint32_t high, uint8_t channel) {
    return high + (1u << 28) + (static_cast<uint32_t>(channel) << 29);
  }
  static uint32_t eventWord(uint32_t low, uint8_t channel) {
    return low + (static_cast<uint32_t>(channel) << 29);
  }
};

struct Format26 {
  static constexpr int kLowBits = 26;
  static uint32_t baseWord(uint32_t high, uint8_t) { return high + (63u << 26); }
  static uint32_t eventWord(uint32_t low, uint8_t channel) { return low + (code(channel) << 26); }
  static uint32_t code(uint8_t channel) {
    if (channel <= 99) return channel;
    if (channel == 104) return 41;
    if (channel <= 199) return channel - 67u;
    return channel - 163u;
  }
};

template <class Format>
int32_t encodeWithTimeBase(Tdc56Instance* instance, const PpTimest* in, int32_t* count,
                           uint32_t* out, int32_t capacity) {
  constexpr uint32_t lowMask = (1u << Format::kLowBits) - 1;
  int32_t written = 0;
  int32_t used = 0;
  while (written < capacity && used < *count) {
    const uint64_t time = static_cast<uint64_t>(in[used].time);
    const uint8_t channel = in[used].channel;
    const uint32_t high = static_cast<uint32_t>(time >> Format::kLowBits) & lowMask;
    if (high > instance->encodeState) {
      out[written++] = Format::baseWord(high, channel);
      instance->encodeState = high;
    } else {
      out[written++] = Format::eventWord(static_cast<uint32_t>(time) & lowMask, channel);
      ++used;
    }
  }
  *count = used;
  return written;
}

// Time and channel field of one entry in the 60-bit format. A marker travels as a channel-6 event
// whose remainder modulo 5000 holds its single flag bit.
void encode60Entry(const PpTimest& entry, uint64_t* time, uint32_t* channelField) {
  if (entry.channel < 100) {
    *time = static_cast<uint64_t>(entry.time);
    *channelField = entry.channel;
    return;
  }
  const unsigned bit = entry.channel % 100u + (entry.channel >= 200 ? 5u : 0u);
  const uint64_t grid = static_cast<uint64_t>(entry.time / kMarkerGrid * kMarkerGrid);
  *time = grid + (bit < 64 ? uint64_t{1} << bit : 0);
  *channelField = 6;
}

constexpr bool fitsSigned(uint64_t difference, unsigned bits) {
  return signExtend(difference, bits) == difference;
}

void writeAbsolute60(uint32_t* out, uint64_t time) {
  out[0] = static_cast<uint32_t>(time) & kLow30;
  out[1] = (static_cast<uint32_t>(time >> 30) & kLow30) + kSecondWordBit;
}

void writeSingle60(uint32_t* out, uint64_t difference, uint32_t channelField) {
  out[0] = (static_cast<uint32_t>(difference) & kLow30) + (1u << 30);
  out[1] = (static_cast<uint32_t>(difference >> 30) & kLow27) + (channelField << 27) + (1u << 30) +
           kSecondWordBit;
}

// The compact packet that carries the most of the next `n` (1..3) events; returns how many it
// took, 0 when even a 57-bit difference does not reach the first.
int packCompact60(uint32_t* out, const uint64_t* difference, const uint32_t* field, int n) {
  if (n == 3 && fitsSigned(difference[0], 17) && fitsSigned(difference[1], 17) &&
      fitsSigned(difference[2], 17)) {
    const uint32_t d0 = static_cast<uint32_t>(difference[0]) & kLow17;
    const uint32_t d1 = static_cast<uint32_t>(difference[1]) & kLow17;
    const uint32_t d2 = static_cast<uint32_t>(difference[2]) & kLow17;
    out[0] = d0 | (field[0] & 7) << 17 | (d1 & 0x3FF) << 20 | 1u << 30;
    out[1] = d1 >> 10 | (field[1] & 7) << 7 | d2 << 10 | (field[2] & 7) << 27 | kSecondWordBit;
    return 3;
  }
  if (n >= 2 && fitsSigned(difference[0], 27) && fitsSigned(difference[1], 27)) {
    out[0] = (static_cast<uint32_t>(difference[0]) & kLow27) | (field[0] & 7) << 27;
    out[1] = (static_cast<uint32_t>(difference[1]) & kLow27) | (field[1] & 7) << 27 | 1u << 30 |
             kSecondWordBit;
    return 2;
  }
  if (!fitsSigned(difference[0], 57)) return 0;
  writeSingle60(out, difference[0], field[0] & 7);
  return 1;
}

// Record length and content of one entry of the byte format; 0 bytes for values of 0 or below.
int encode60bRecord(const PpTimest& entry, uint8_t record[11]) {
  const int64_t value = entry.time;
  const uint8_t code = static_cast<uint8_t>(entry.channel << 2);
  if (value <= 0) return 0;
  if (value > INT64_C(0xFFFFFFFF)) {
    writeLittleEndian(record, static_cast<uint64_t>(value) * 4 + 3, 8);
    record[8] = code;  // a zero difference carries the channel
    writeLittleEndian(record + 9, 0, 2);
    return 11;
  }
  const int length = value >= (INT64_C(1) << 24) ? 5 : value >= (INT64_C(1) << 16) ? 4 : 3;
  record[0] = static_cast<uint8_t>(code | (length - 3));
  writeLittleEndian(record + 1, static_cast<uint64_t>(value), length - 1);
  return length;
}

}  // namespace

// --- Instance and configuration -------------------------------------------------------------

Tdc56Instance* tdc56Init() {
  Tdc56Instance* instance = new Tdc56Instance;  // outList and offsets stay uninitialised
  tdc56Reset(instance);
  return instance;
}

void tdc56DeInit(Tdc56Instance* instance) { delete instance; }

void tdc56Reset(Tdc56Instance* instance) {
  instance->lastTime = 0;
  instance->timeBase = -1;
  instance->startTime = 0;
  instance->measuredPeriod = 0;
  instance->startPeriod = 0;
  instance->pendingWord = 0;
  instance->virtualCount = 0;
  instance->outCount = 0;
  instance->encodeState = 0;
  instance->divider = 1;
  instance->sortActive = 0;
}

void tdc56SetOffsets(Tdc56Instance* instance, const int32_t* offsets) {
  uint8_t active = 0;
  if (offsets != nullptr) {
    memcpy(instance->offsets, offsets, sizeof instance->offsets);
    for (int32_t offset : instance->offsets) active |= offset != 0;
  }
  if (active == instance->sortActive) return;
  instance->sortActive = active;
  tdc56Flush(instance);
}

void tdc56SetDivider(Tdc56Instance* instance, int32_t divider) { instance->divider = divider; }

int32_t tdc56GetDivider(const Tdc56Instance* instance) { return instance->divider; }

void tdc56SetStartPeriod(Tdc56Instance* instance, int64_t period) {
  instance->startPeriod = period;
}

int32_t tdc56GetActive(const Tdc56Instance* instance) {
  return instance->sortActive == 1 || instance->divider > 1 ? 1 : 0;
}

// --- Output -----------------------------------------------------------------------------------

void tdc56Push(Tdc56Instance* instance, int64_t time, uint8_t channel) {
  if (instance->sortActive == 1 && channel <= 7) {
    const int64_t offset = instance->offsets[channel];
    instance->queue.push_back(PpTimest{wrapAdd(time, static_cast<uint64_t>(offset)), channel});
  } else {
    appendDirect(instance, time, channel);
  }
}

void tdc56Flush(Tdc56Instance* instance) {
  instance->queue.clear();
  instance->outCount = 0;
}

int32_t tdc56Pop(Tdc56Instance* instance, PpTimest* out) {
  if (instance->sortActive == 0) {
    const int32_t n = std::max(0, std::min(instance->outCount, kTdc56ListSize));
    memcpy(out, instance->outList, static_cast<size_t>(n) * sizeof(PpTimest));
    traceError(instance->outCount <= kTdc56ListSize, "Sorting queue overflow: %d",
               instance->outCount);
    instance->outCount = 0;
    return n;
  }
  std::deque<PpTimest>& queue = instance->queue;
  if (!queue.empty()) {
    std::sort(queue.begin(), queue.end(),
              [](const PpTimest& a, const PpTimest& b) { return a.time < b.time; });
  }
  int32_t n = 0;
  while (!queue.empty() && queue.front().time <= instance->lastTime && n < kTdc56ListSize) {
    out[n++] = queue.front();
    queue.pop_front();
  }
  return n;
}

int64_t addVirtualEvents(Tdc56Instance* instance, bool isStart) {
  const int64_t t = instance->lastTime;
  if (instance->divider <= 1) return t;
  int64_t result = t;
  if (instance->startPeriod != 0) {
    result = foldIntoPeriod(t, instance->startPeriod / instance->divider);
  } else if (instance->measuredPeriod > 0) {
    emitVirtualStarts(instance, t);
  }
  if (isStart) {
    if (instance->startTime != 0) instance->measuredPeriod = timeSince(t, instance->startTime);
    instance->startTime = t;
    instance->virtualCount = 0;
  }
  return result;
}

// --- Decoders ---------------------------------------------------------------------------------

// A block of a single word (the last of a stream, say) has nothing to check its alignment
// against: it completes the pending packet or becomes the pending word.
void tdc56Decode60(Tdc56Instance* instance, const uint32_t* words, int32_t count,
                   uint32_t markerMask) {
  if (count <= 0) return;
  if (count >= 2 && ((words[0] ^ words[1]) & kSecondWordBit) == 0) return;  // misaligned
  uint64_t time = static_cast<uint64_t>(instance->lastTime);
  int32_t index = 0;
  bool ok = true;
  if (words[0] & kSecondWordBit) {
    index = 1;  // without a pending first word the orphan second word is skipped
    if (instance->pendingWord != 0) {
      InstanceWriter sink{instance};
      ok = decodePacket(sink, time, instance->pendingWord, words[0], -1, markerMask);
    }
  }
  ok = ok && decodeStretches(instance, time, words, index, count, markerMask);
  instance->lastTime = static_cast<int64_t>(time);
  if (!ok) return;  // the pending word stays as it was
  const uint32_t last = words[count - 1];
  instance->pendingWord = (last & kSecondWordBit) ? 0 : last;
}

int32_t tdc56Decode60Pop(Tdc56Instance* instance, const uint32_t* words, int32_t count,
                         uint32_t markerMask, PpTimest* out, bool* inOrder, int32_t* dropped) {
  *inOrder = false;
  int32_t lost = 0;
  if (dropped == nullptr) dropped = &lost;
  *dropped = 0;
  const bool misaligned = count >= 2 && ((words[0] ^ words[1]) & kSecondWordBit) == 0;
  if (misaligned) *dropped = count / 2;
  if (count > kTdc56BlockWords || instance->divider > 1 || instance->sortActive != 0 ||
      instance->outCount != 0) {
    tdc56Decode60(instance, words, count, markerMask);
    return tdc56Pop(instance, out);
  }
  // As tdc56Decode60() with its list at `out`: a block of 100 words yields far fewer than
  // kTdc56ListSize timestamps, so the whole block takes the fast path.
  if (count <= 0 || misaligned) return 0;
  uint64_t time = static_cast<uint64_t>(instance->lastTime);
  int32_t index = 0;
  ListWriter sink{out, 0};
  sink.segmentStart = time;
  bool ok = true;
  if (words[0] & kSecondWordBit) {
    index = 1;
    if (instance->pendingWord != 0) {
      ok = decodePacket(sink, time, instance->pendingWord, words[0], -1, markerMask);
      if (!ok) *dropped = 1;
    }
  }
  ok = ok && decodePackets(sink, time, words, index, count, markerMask);
  instance->lastTime = static_cast<int64_t>(time);
  sink.endSegment(time);
  *inOrder = sink.differenceSigns == 0 && !sink.outOfOrder;
  if (ok) {
    const uint32_t last = words[count - 1];
    instance->pendingWord = (last & kSecondWordBit) ? 0 : last;
  } else {
    *dropped += (count - index) / 2;
  }
  return sink.count;
}

void tdc56Decode(Tdc56Instance* instance, const uint32_t* words, int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    const uint32_t word = words[i];
    if (word & (1u << 28)) {
      instance->timeBase = static_cast<int64_t>(word & kLow28) << 28;
      continue;
    }
    if (instance->timeBase < 0) continue;
    extendTime28(instance, word & kLow28);
    const uint8_t channel = static_cast<uint8_t>(word >> 29);
    tdc56Push(instance, addVirtualEvents(instance, channel == 0), channel);
  }
}

int32_t tdc56Decode52x(Tdc56Instance* instance, const uint32_t* words, int32_t count,
                       PpTimest* out) {
  int32_t n = 0;
  for (int32_t i = 0; i < count; ++i) {
    const uint32_t word = words[i];
    if ((word & kSecondWordBit) == 0) {
      instance->timeBase = static_cast<int64_t>(word & kLow28) << 28;
      continue;
    }
    if (instance->timeBase < 0) continue;
    const int64_t t = extendTime28(instance, word & kLow28);
    out[n++] = PpTimest{t, static_cast<uint8_t>((word >> 28) & 7)};
  }
  return n;
}

void tdc56Decode52(Tdc56Instance* instance, const uint32_t* words, int32_t count,
                   uint32_t markerMask) {
  for (int32_t i = 0; i < count; ++i) {
    const uint32_t code = words[i] >> 26;
    const uint32_t value = words[i] & kLow26;
    if (code == 63) {
      instance->timeBase = static_cast<int64_t>(value) << 26;
      continue;
    }
    if (instance->timeBase < 0) continue;
    instance->lastTime = wrapAdd(instance->timeBase, value);
    deliverCoded(instance, code, markerMask);
  }
}

void tdc56Decode60b(Tdc56Instance* instance, const uint8_t* data, int32_t count,
                    uint32_t markerMask) {
  static constexpr int kRecordLength[4] = {3, 4, 5, 8};
  const int64_t limit = count > 0 ? 4 * int64_t{count} : -int64_t{count};
  for (int64_t pos = 0; pos < limit;) {
    const uint8_t header = data[pos];
    const int type = header & 3;
    const int length = kRecordLength[type];
    if (type == 3) {
      const uint64_t absolute = readLittleEndian(data + pos, 8) >> 2;
      instance->lastTime = static_cast<int64_t>(signExtend(absolute, 62));
      pos += length;
      continue;
    }
    const int valueBytes = length - 1;
    const uint64_t value = readLittleEndian(data + pos + 1, valueBytes);
    const uint64_t difference = signExtend(value, 8 * unsigned(valueBytes));
    pos += length;
    if (instance->lastTime < 0) continue;
    instance->lastTime = wrapAdd(instance->lastTime, difference);
    deliverCoded(instance, header >> 2, markerMask);
  }
}

// --- Encoders ---------------------------------------------------------------------------------

int32_t tdc56Encode(Tdc56Instance* instance, const PpTimest* in, int32_t* count, uint32_t* out,
                    int32_t capacity) {
  return encodeWithTimeBase<Format28>(instance, in, count, out, capacity);
}

int32_t tdc56Encode52(Tdc56Instance* instance, const PpTimest* in, int32_t* count, uint32_t* out,
                      int32_t capacity) {
  return encodeWithTimeBase<Format26>(instance, in, count, out, capacity);
}

// Without an entry or room for the opening two words nothing is written and 0 is returned.
int32_t tdc56Encode60(Tdc56Instance* instance, const PpTimest* in, int32_t* count, uint32_t* out,
                      int32_t capacity) {
  const int32_t available = *count;
  *count = 0;
  if (available < 1 || capacity < 2) return 0;
  uint64_t previous = static_cast<uint64_t>(in[0].time);
  writeAbsolute60(out, previous);
  instance->encodeState = in[0].time;
  const int32_t usable = capacity & ~1;
  if (usable <= 2) return 2;
  int32_t written = 2;
  int32_t used = 0;
  for (; used < available && written + 2 <= usable; ++used, written += 2) {
    uint64_t time;
    uint32_t channelField;
    encode60Entry(in[used], &time, &channelField);
    writeSingle60(out + written, time - previous, channelField);
    previous = time;
    instance->encodeState = static_cast<int64_t>(previous);
  }
  *count = used;
  return written;
}

int32_t tdc56Pack60(Tdc56Instance* instance, const PpTimest* in, int32_t* count, uint32_t* out,
                    int32_t capacity) {
  const int32_t available = *count;
  uint64_t previous = static_cast<uint64_t>(instance->encodeState);
  bool haveTime = previous != 0;
  int32_t written = 0;
  int32_t used = 0;
  while (used < available && capacity - written >= 2) {
    const int n = static_cast<int>(std::min(3, available - used));
    uint64_t time[3];
    uint64_t difference[3];
    uint32_t field[3];
    for (int i = 0; i < n; ++i) {
      encode60Entry(in[used + i], &time[i], &field[i]);
      difference[i] = time[i] - (i == 0 ? previous : time[i - 1]);
    }
    const int taken = haveTime ? packCompact60(out + written, difference, field, n) : 0;
    if (taken == 0) {
      writeAbsolute60(out + written, time[0]);
      previous = time[0];
      haveTime = true;
    } else {
      previous = time[taken - 1];
      used += taken;
    }
    written += 2;
  }
  instance->encodeState = static_cast<int64_t>(previous);
  *count = used;
  return written;
}

// An entry whose record would not fit in the rest of the area is left unconsumed. The check
// matters because the decoder reads every record it starts whole: writing only whole records
// keeps every byte inside `out`, and what the encoder produces is always whole records.
int32_t tdc56Encode60b(Tdc56Instance*, const PpTimest* in, int32_t* count, uint8_t* out,
                       int32_t capacity) {
  const int64_t limit = 4 * static_cast<int64_t>(std::max(capacity, 0));
  int64_t pos = 0;
  int32_t used = 0;
  for (; used < *count && pos < limit; ++used) {
    uint8_t record[11];
    const int length = encode60bRecord(in[used], record);
    if (pos + length > limit) break;
    memcpy(out + pos, record, static_cast<size_t>(length));
    pos += length;
  }
  *count = used;
  return static_cast<int32_t>(pos / 4);
}
