// The timestamp stream codec: turns the packed word streams of the time-tagger devices into
// timestamps (a 64-bit time and a channel) and back.
//
// Every function takes the Tdc56Instance it works on first. One instance holds the whole state of
// one stream, so a stream may be fed to a decoder in blocks of any size, split anywhere. Decoders
// collect their timestamps inside the instance; tdc56Pop() hands them out:
//
//     Tdc56Instance* codec = tdc56Init();
//     static PpTimest out[kTdc56ListSize];
//     while (int32_t words = readBlock(block, 100)) {
//       tdc56Decode60(codec, block, words, markerMask);
//       int32_t n = tdc56Pop(codec, out);
//       ...
//     }
//     tdc56DeInit(codec);
//
// The codec returns no error codes: faults inside a stream are traced and decoding goes on.
// There are no locks and no global state; an instance is used by one thread at a time.
#ifndef RAVIK_CODEC_TDC56_H
#define RAVIK_CODEC_TDC56_H

#include <stdint.h>

#include <deque>

// One timestamp. Timestamps are ordered by time alone; the channel takes no part.
struct PpTimest {
  int64_t time;     // in the device's time unit, on the device's own time axis
  uint8_t channel;  // 0..31 input channels (0 also virtual start events),
                    // 100..104 and 200..203 markers
};

// Capacity of the direct output list, and so the least size of the array given to tdc56Pop().
constexpr int32_t kTdc56ListSize = 16384;

// The state of one stream. Field order is part of the contract with the device library, which
// hands out instances of this codec. Create with tdc56Init(), destroy with tdc56DeInit().
struct Tdc56Instance {
  int64_t lastTime;        // current stream time; 60-bit format: 0 = no absolute time seen yet
  int64_t timeBase;        // high part of the 28-bit and 26-bit formats; -1 = none seen yet
  int64_t startTime;       // last start event; 0 = none yet
  int64_t measuredPeriod;  // distance of the last two start events; 0 = not measured
  int64_t startPeriod;     // fixed start period (folding); 0 = measure it from the stream
  uint32_t pendingWord;    // 60-bit format: first word of a packet split across blocks; 0 = none
  uint32_t virtualCount;   // virtual start events emitted since the last start event
  int32_t outCount;        // appends to outList since the last pop, including the lost ones
  PpTimest outList[kTdc56ListSize];  // the direct list; the first min(outCount, size) are valid
  std::deque<PpTimest> queue;        // the sorting queue, in use only while sortActive
  int64_t encodeState;     // last time base (28/26-bit encoders) or last event time (60-bit)
  int32_t divider;         // virtual start events per start period; below 2 = off
  uint8_t sortActive;      // 1 while per-channel offsets are in force
  int32_t offsets[8];      // per-channel offsets for channels 0..7, read only while sortActive
};

// --- Instance and configuration -------------------------------------------------------------

// A new instance in the reset state. Allocation failure propagates as std::bad_alloc.
Tdc56Instance* tdc56Init();
// Frees the instance; null is accepted.
void tdc56DeInit(Tdc56Instance* instance);
// Starts a new stream. Also clears the divider and the start period; keeps the offsets and
// leaves the (inactive) queue as it is.
void tdc56Reset(Tdc56Instance* instance);
// `offsets`: 8 values for channels 0..7, or null to switch sorting off and keep the stored ones.
// Sorting is on while any stored offset is non-zero. Switching it on or off discards the queue
// and the uncollected direct list.
void tdc56SetOffsets(Tdc56Instance* instance, const int32_t* offsets);
void tdc56SetDivider(Tdc56Instance* instance, int32_t divider);
int32_t tdc56GetDivider(const Tdc56Instance* instance);
// 0 = measure the start period from the stream; otherwise each event's time is folded into one
// divided period, period / divider, which must not be 0.
void tdc56SetStartPeriod(Tdc56Instance* instance, int64_t period);
// 1 when sorting is on or the divider is above 1, else 0.
int32_t tdc56GetActive(const Tdc56Instance* instance);

// --- Decoders ---------------------------------------------------------------------------------

// 60-bit word-pair format, the devices' recorded stream. `count` words, normally at least 2; a
// single word completes the pending packet or is kept pending. `markerMask` selects markers by
// flag bit (bit 0..4 -> channels 100..104, bit 5..8 -> 200..203).
void tdc56Decode60(Tdc56Instance* instance, const uint32_t* words, int32_t count,
                   uint32_t markerMask);
// Blocks of the recorded stream are at most this many words long.
constexpr int32_t kTdc56BlockWords = 100;
// tdc56Decode60() and then tdc56Pop() into `out` (room for kTdc56ListSize), in one step: for a
// block of up to kTdc56BlockWords words, with no sorting and no virtual events on and nothing
// collected yet, the timestamps are decoded straight into `out`. Returns their number.
// *inOrder tells that they surely come in time order: from the stream time before the block
// on, no time goes back or wraps, and no marker is among them. False when it cannot be told.
// *dropped, when given, gets the number of packets the block lost to faults: all of a block
// that cannot be aligned, or from a packet that breaks the bit-31 rule to the block's end.
int32_t tdc56Decode60Pop(Tdc56Instance* instance, const uint32_t* words, int32_t count,
                         uint32_t markerMask, PpTimest* out, bool* inOrder,
                         int32_t* dropped = nullptr);
// 28-bit format, time-base words with bit 28 set; channel 0 is the start channel.
void tdc56Decode(Tdc56Instance* instance, const uint32_t* words, int32_t count);
// 28-bit format with event flag in bit 31. Writes straight into `out` (room for `count` entries),
// bypassing the output list, queue and virtual events; returns the number written.
int32_t tdc56Decode52x(Tdc56Instance* instance, const uint32_t* words, int32_t count,
                       PpTimest* out);
// 26-bit format: 6-bit code and 26-bit value per word.
void tdc56Decode52(Tdc56Instance* instance, const uint32_t* words, int32_t count,
                   uint32_t markerMask);
// Byte format of variable-length records. `count` > 0 is a length in 32-bit words, `count` < 0
// the negated length in bytes. The caller hands over whole records: a record that begins inside
// the block is read whole, even where it ends past the block's end.
void tdc56Decode60b(Tdc56Instance* instance, const uint8_t* data, int32_t count,
                    uint32_t markerMask);

// --- Output -----------------------------------------------------------------------------------

// Delivers one timestamp as the decoders do: into the sorting queue with the channel's offset
// added while sorting is on and `channel` <= 7, else appended to the direct list.
void tdc56Push(Tdc56Instance* instance, int64_t time, uint8_t channel);
// Discards the queue and the uncollected direct list.
void tdc56Flush(Tdc56Instance* instance);
// Moves collected timestamps to `out` (room for kTdc56ListSize) and returns their number.
// Sorting off: the whole direct list, an overflow is traced. Sorting on: the queue sorted by
// time, up to the current stream time; the direct list, where the decoders still put markers,
// is then neither read nor cleared, so markers are not delivered while sorting is on.
int32_t tdc56Pop(Tdc56Instance* instance, PpTimest* out);

// --- Encoders ---------------------------------------------------------------------------------
// All take `*count` entries available in `in` and an output area of `capacity` 32-bit words; they
// set `*count` to the entries consumed and return the words written, so a long array can be
// encoded in several calls.

// 28-bit format; `in` in ascending time order.
int32_t tdc56Encode(Tdc56Instance* instance, const PpTimest* in, int32_t* count, uint32_t* out,
                    int32_t capacity);
// 26-bit format; `in` in ascending time order.
int32_t tdc56Encode52(Tdc56Instance* instance, const PpTimest* in, int32_t* count, uint32_t* out,
                      int32_t capacity);
// 60-bit format, a self-contained block opened by an absolute time, one event per packet. The
// result includes the 2 opening words. Without an entry or room for 2 words nothing is written
// and 0 is returned.
int32_t tdc56Encode60(Tdc56Instance* instance, const PpTimest* in, int32_t* count, uint32_t* out,
                      int32_t capacity);
// 60-bit format in its compact packet types: each packet carries as many of the next entries as
// its differences fit (three of 17 bits, two of 27 bits, or one of 57 bits). The stream goes on
// from the last entry written by the previous call (encodeState); after a reset, and whenever a
// difference exceeds 57 bits, an absolute-time packet comes first. Channels 0..7 are written as
// the packet's channel field as they are (6 a marker packet of the caller's, 7 a time advance);
// markers 100..203 travel as in tdc56Encode60. Writes whole packets only.
int32_t tdc56Pack60(Tdc56Instance* instance, const PpTimest* in, int32_t* count, uint32_t* out,
                    int32_t capacity);
// Byte format; writes each time value as it is and forms no differences. `capacity` is in 32-bit
// words (4 * capacity bytes); an entry whose record does not fit in the rest is left unconsumed.
// The result is the bytes written / 4, a partial last word not counted.
int32_t tdc56Encode60b(Tdc56Instance* instance, const PpTimest* in, int32_t* count, uint8_t* out,
                       int32_t capacity);

// --- Shared decoder step ----------------------------------------------------------------------

// The virtual start event step every decoder runs on a regular event after setting lastTime to
// its time: may deliver virtual start events (channel 0) for a divided start signal, records
// start events, and returns the time to deliver the event with (folded when a start period is
// set). Exposed for the decoders' tests.
int64_t addVirtualEvents(Tdc56Instance* instance, bool isStart);

#endif
