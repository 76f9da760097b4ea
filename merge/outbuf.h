// Buffered writers of the merge's two record formats. Records are formatted by hand into a large
// buffer and written in big pieces: the merge writes hundreds of millions of them.
#ifndef RAVIK_MERGE_OUTBUF_H
#define RAVIK_MERGE_OUTBUF_H

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <utility>

#include "merge/decodeahead.h"
#include "merge/hugebuffer.h"
#include "merge/recordsink.h"

// The end of a text line for the channels 0..99: ", <channel>\n" in the first `length` bytes.
struct OutBufTail {
  char text[7];
  uint8_t length;
};
constexpr int16_t kOutBufTailCount = 100;
struct OutBufTails {
  OutBufTail entry[kOutBufTailCount];
};
constexpr OutBufTails makeOutBufTails() {
  OutBufTails t{};
  for (int c = 0; c < kOutBufTailCount; ++c) {
    OutBufTail& e = t.entry[c];
    int n = 0;
    e.text[n++] = ',';
    e.text[n++] = ' ';
    if (c >= 10) e.text[n++] = char('0' + c / 10);
    e.text[n++] = char('0' + c % 10);
    e.text[n++] = '\n';
    e.length = uint8_t(n);
  }
  return t;
}
inline constexpr OutBufTails kOutBufTails = makeOutBufTails();

// The four decimal digits of 0..9999, leading zeros included, as characters in memory order.
struct OutBufFours {
  uint32_t text[10000];
};
constexpr OutBufFours makeOutBufFours() {
  OutBufFours f{};
  for (uint32_t v = 0; v < 10000; ++v)
    f.text[v] = (v / 1000 + '0') | (v / 100 % 10 + '0') << 8 | (v / 10 % 10 + '0') << 16 |
                (v % 10 + '0') << 24;
  return f;
}
inline constexpr OutBufFours kOutBufFours = makeOutBufFours();

// Where the merge writes its binary records: 10-byte records one after another, the binary
// output's layout (the 8-byte time, then the 2-byte channel, little-endian)...
struct RecordCursor {
  static constexpr bool kColumns = false;
  char* at;
  __attribute__((always_inline)) void put(int64_t time, int16_t channel) const {
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "records are written in host order");
    memcpy(at, &time, 8);
    memcpy(at + 8, &channel, 2);
  }
  void forward() { at += 10; }
  void backward() { at -= 10; }
  RecordCursor plus(int64_t records) const { return {at + 10 * records}; }
  int64_t time(int64_t i) const {
    int64_t t;
    memcpy(&t, at + 10 * i, 8);
    return t;
  }
  int16_t channel(int64_t i) const {
    int16_t c;
    memcpy(&c, at + 10 * i + 8, 2);
    return c;
  }
  bool reached(const RecordCursor& limit) const { return at >= limit.at; }
};

// ... or two columns, the times and the channels, for an output that stores them so (see
// RecordSink::columns()).
struct ColumnCursor {
  static constexpr bool kColumns = true;
  int64_t* times;
  int16_t* channels;
  __attribute__((always_inline)) void put(int64_t time, int16_t channel) const {
    *times = time;
    *channels = channel;
  }
  void forward() {
    ++times;
    ++channels;
  }
  void backward() {
    --times;
    --channels;
  }
  ColumnCursor plus(int64_t records) const { return {times + records, channels + records}; }
  int64_t time(int64_t i) const { return times[i]; }
  int16_t channel(int64_t i) const { return channels[i]; }
  bool reached(const ColumnCursor& limit) const { return times >= limit.times; }
};

// A large buffer in front of an output file. The merge loop writes at a cursor of its own
// (cursor(), then put*() while the cursor is below limit(), drain() when it is not, commit() at
// the end), so that the write position stays in a register rather than going through memory
// with every record.
class OutBuf {
public:
  // `sink` (not owned; null: none) also receives every flushed buffer; give it only to a buffer
  // of binary records. A buffer whose only taker is a sink that takes columns of kColumnRecords
  // records holds them as columns (see columns()).
  explicit OutBuf(FILE* file, RecordSink* sink = nullptr)
      : _file(file), _sink(sink),
        _columns(file == nullptr && sink != nullptr && sink->columns() == size_t(kColumnRecords)),
        _slot(_columns ? kColumnSlot : kSize),
        _memory(file || sink ? (kBuffers + _columns) * _slot : 0), _data(_memory.data()),
        _used(0) {}
  // finish(): a buffer handed to the decoding side is written before the DecodeAhead goes.
  ~OutBuf() { finish(); }
  OutBuf(const OutBuf&) = delete;
  OutBuf& operator=(const OutBuf&) = delete;

  // Bytes of a buffer, handed to the file and the sink in one piece when full: three of them
  // fill one large page (see HugeBuffer), and more gained nothing.
  static constexpr size_t kSize = 640 << 10;
  // Records of a buffer of columns: the times first, then the channels.
  static constexpr int64_t kColumnRecords = int64_t(kSize) / 10;
  // Records that may be written past a buffer of columns' end (columnLimit()) before it is
  // drained: the merge's lanes (stretches of thousands of records, mostly) then need not stop
  // short at the end of a buffer; drain() moves them to the start of the next one.
  static constexpr int64_t kColumnOverflow = 16384;

  // The records are written as two columns (columnCursor() etc.) rather than as 10-byte records
  // (cursor() etc.), and each full buffer holds exactly kColumnRecords of them.
  bool columns() const { return _columns; }
  ColumnCursor columnCursor() const {
    const int64_t at = int64_t(_used / 10);
    return {times() + at, channels() + at};
  }
  // The end of the buffer's columns; up to kColumnOverflow more records may follow it.
  ColumnCursor columnLimit() const {
    return {times() + kColumnRecords, channels() + kColumnRecords};
  }
  void commit(ColumnCursor c) { _used = size_t(c.times - times()) * 10; }
  // Hands over the buffer's kColumnRecords records (fewer: all there are), and returns the
  // cursor in the next buffer, after the records that were past the end.
  __attribute__((noinline)) ColumnCursor drain(ColumnCursor c) {
    const int64_t over = c.times - (times() + kColumnRecords);
    if (over <= 0) {
      commit(c);
      flush();
      return columnCursor();
    }
    const int64_t* const overTimes = times() + kColumnRecords;
    const int16_t* const overChannels = channels() + kColumnRecords;
    _used = size_t(kColumnRecords) * 10;
    flush();  // the sink reads no record past the end, and the merge does not write this buffer
    memcpy(times(), overTimes, size_t(over) * sizeof *overTimes);
    memcpy(channels(), overChannels, size_t(over) * sizeof *overChannels);
    _used = size_t(over) * 10;
    return columnCursor();
  }
  // Some record of the buffer is earlier than the one before it (see RecordSink::putColumns()).
  void noteUnordered() { _unordered = true; }

  bool open() const { return _file != nullptr || _sink != nullptr; }

  // Where the next record goes.
  char* cursor() const { return _data + _used; }
  // While the cursor is below this, there is room for one more record of either format.
  char* limit() const { return _data + (kSize - kRoom); }
  // Takes the records written up to p into the buffer, hands them to the file, and returns the
  // new cursor.
  __attribute__((noinline)) char* drain(char* p) {
    commit(p);
    flush();
    return cursor();
  }
  // Takes the records written up to p into the buffer.
  void commit(char* p) { _used = size_t(p - _data); }

  // The leading digits of the last text line's time, which change only every 10^8 ps. It
  // starts as the digits of times from 10^8 to 2 * 10^8 - 1, so that it always holds valid ones.
  struct TopDigits {
    uint64_t base = kTenTo8;  // time / 10^8 * 10^8 of the last text line in the common range
    uint64_t digits = '1';    // the digits of time / 10^8, as leadingDigits() gives them
    int32_t length = 1;
  };
  // putText() with the leading digits held by the caller, e.g. in registers during a loop:
  // a local copy of topDigits(), put back with setTopDigits() before drain().
  const TopDigits& topDigits() const { return _digits; }
  void setTopDigits(const TopDigits& d) { _digits = d; }

  // "<time>, <channel>\n" at p, as printf's "%lld, %hd\n" writes it; returns the end. Up to
  // kRoom bytes from p may be written.
  __attribute__((always_inline)) char* putText(char* p, int64_t time, int16_t channel) {
    return putText(_digits, p, time, channel);
  }
  __attribute__((always_inline)) static char* putText(TopDigits& d, char* p, int64_t time,
                                                      int16_t channel) {
    // 9 to 16 digits, the times of a recording: the leading digits change only every 10^8 ps,
    // so they are kept from the line before (one subtraction tells whether they still hold),
    // and the last eight take a few multiplications.
    const uint64_t u = uint64_t(time);
    uint64_t rest = u - d.base;
    if (__builtin_expect(rest >= kTenTo8 || uint16_t(channel) >= uint16_t(kOutBufTailCount), 0)) {
      if (u - kTenTo8 >= kTenTo16 - kTenTo8 || uint16_t(channel) >= uint16_t(kOutBufTailCount))
        return putTextOther(p, time, channel);
      newTop(d, u / kTenTo8);
      rest = u - d.base;
    }
    memcpy(p, &d.digits, 8);
    p += d.length;
    const uint32_t low = uint32_t(rest);
    const uint32_t high4 = low / 10000;
    const uint64_t digits = kOutBufFours.text[high4] |
                            uint64_t(kOutBufFours.text[low - high4 * 10000]) << 32;
    memcpy(p, &digits, 8);
    // The channel's one or two digits chosen by table: whether the next line has one or two is
    // as good as random when devices interleave, so a branch on it would often go the wrong way.
    // All eight bytes of the entry are stored, the length among them: the next line or the end
    // of the buffer's room writes over it.
    const OutBufTail& tail = kOutBufTails.entry[channel];
    memcpy(p + 8, &tail, sizeof tail);
    return p + 8 + tail.length;
  }

  // From now on each full buffer goes to the file and the sink as an output job of `ahead`,
  // mostly on its decoding thread, while the merge goes on into the next buffer: writing the
  // file and converting the records for the sink (HDF5 columns) then run beside the merge
  // rather than in its turn. Up to two full buffers wait for the decoding thread or are being
  // written, so that the merge waits only when it is two buffers ahead. File and sink are used
  // from one thread at a time, in order; finish() waits for the last buffer.
  void offload(DecodeAhead* ahead, DecodeAhead::JobKind kind) {
    if (!open()) return;
    _ahead = ahead;
    _kind = kind;
  }

  // Hands what is buffered to the file and the sink: while offloading, as a job of the decoding
  // side, once at most one job before it is still open.
  void flush() {
    if (_used == 0) return;
    if (_ahead != nullptr) {
      // The buffer after this one, and this one's batch, are free once at most one job is open.
      _ahead->completeJob(_kind, kJobs - 1);
      Batch& batch = _batches[_offered % kJobs];
      batch = Batch{_file, _sink, _data, _used, _columns, !_unordered};
      _ahead->offerJob(&Batch::run, &batch, _kind);
      ++_offered;
      _data = _memory.data() + _offered % (kBuffers + _columns) * _slot;
    } else {
      Batch{_file, _sink, _data, _used, _columns, !_unordered}.write();
      if (_columns) _data = _memory.data() + ++_offered % (kBuffers + _columns) * _slot;
    }
    _used = 0;
    _unordered = false;
  }
  // Flushes, and waits until the file and the sink have taken every buffer.
  void finish() {
    flush();
    if (_ahead != nullptr) _ahead->completeJob(_kind);
    if (_columns && !_ended) _sink->putColumns(nullptr, nullptr, 0, true);
    _ended = true;
  }

  // Decimal text of v at p; returns the end. Up to 8 bytes past the end may be written.
  static char* putDecimal(char* p, int64_t v) {
    uint64_t u = uint64_t(v);
    if (v < 0) {
      *p++ = '-';
      u = 0 - u;  // also right for the most negative value
    }
    if (u == 0) {
      *p = '0';
      return p + 1;
    }
    int32_t length;
    uint64_t digits;
    if (u < kTenTo8) {
      digits = leadingDigits(uint32_t(u), &length);
      memcpy(p, &digits, 8);
      return p + length;
    }
    if (u < kTenTo16) {
      digits = leadingDigits(uint32_t(u / kTenTo8), &length);
    } else {
      digits = leadingDigits(uint32_t(u / kTenTo16), &length);
      memcpy(p, &digits, 8);
      p += length;
      digits = digits8(uint32_t(u / kTenTo8 % kTenTo8)) + kZeros;
      length = 8;
    }
    memcpy(p, &digits, 8);
    p += length;
    digits = digits8(uint32_t(u % kTenTo8)) + kZeros;
    memcpy(p, &digits, 8);
    return p + 8;
  }

private:
  // putText() for the other times and channels.
  __attribute__((noinline)) static char* putTextOther(char* p, int64_t time, int16_t channel) {
    p = putDecimal(p, time);
    *p++ = ',';
    *p++ = ' ';
    p = putDecimal(p, channel);
    *p++ = '\n';
    return p;
  }
  __attribute__((noinline)) static void newTop(TopDigits& d, uint64_t top) {
    d.base = top * kTenTo8;
    d.digits = leadingDigits(uint32_t(top), &d.length);
  }

  // The longest text line (20 + 2 + 6 + 1 bytes) and the 8 bytes that may be written past it.
  static constexpr size_t kRoom = 40;
  static constexpr uint64_t kTenTo8 = 100000000;
  static constexpr uint64_t kTenTo16 = kTenTo8 * kTenTo8;
  static constexpr uint64_t kZeros = 0x3030303030303030ULL;  // '0' in every byte

  // The eight decimal digits of v < 10^8 as the values 0..9 in the bytes of the result, the
  // first digit in the lowest byte (so in memory order on this little-endian host). The number
  // is split into lanes of the 64-bit word, 4 digits, then 2, then 1 per lane, and every lane is
  // divided at once by a multiplication and a shift.
  static uint64_t digits8(uint32_t v) {
    const uint64_t fours = (v / 10000) | (uint64_t(v % 10000) << 32);
    // x / 100 == x * 5243 >> 19 for x < 43699.
    const uint64_t hundreds = ((fours * 5243) >> 19) & 0x0000007F0000007FULL;
    const uint64_t twos = hundreds | ((fours - hundreds * 100) << 16);
    // x / 10 == x * 103 >> 10 for x < 179.
    const uint64_t tens = ((twos * 103) >> 10) & 0x000F000F000F000FULL;
    return tens | ((twos - tens * 10) << 8);
  }
  // The digits of 0 < v < 10^8 without leading zeros as characters in the low bytes of the
  // result (to be stored whole); their number in *length.
  static uint64_t leadingDigits(uint32_t v, int32_t* length) {
    const uint64_t digits = digits8(v);
    const int32_t zeros = __builtin_ctzll(digits) / 8;
    *length = 8 - zeros;
    return (digits + kZeros) >> (8 * zeros);
  }

  int64_t* times() const { return reinterpret_cast<int64_t*>(_data); }
  // Columns of kColumnRecords + kColumnOverflow records.
  static constexpr int64_t kColumnRoom = kColumnRecords + kColumnOverflow;
  static constexpr size_t kColumnSlot = size_t(kColumnRoom) * 10;
  int16_t* channels() const { return reinterpret_cast<int16_t*>(_data + 8 * kColumnRoom); }

  // A full buffer for the file and the sink.
  struct Batch {
    FILE* file;
    RecordSink* sink;
    const char* data;
    size_t bytes;     // 10 per record, in either layout
    bool columns;     // the buffer holds columns (only for the sink)
    bool ordered;     // see RecordSink::putColumns()
    void write() const {
      if (columns) {
        sink->putColumns(reinterpret_cast<const int64_t*>(data),
                         reinterpret_cast<const int16_t*>(data + 8 * kColumnRoom), bytes / 10,
                         ordered);
        return;
      }
      if (file != nullptr) fwrite(data, 1, bytes, file);
      if (sink != nullptr) sink->putRecords(data, bytes / 10);
    }
    static void run(void* self) { static_cast<const Batch*>(self)->write(); }
  };

  FILE* _file;                    // not owned
  RecordSink* _sink;              // not owned
  bool _columns;
  // While offloading, a job for each full buffer not yet written, and a buffer for each job and
  // one for the merge, _slot bytes each; with columns one more, which the sink may hold back.
  static constexpr int32_t kJobs = DecodeAhead::kOutputSlots;
  static constexpr size_t kBuffers = size_t(kJobs) + 1;
  size_t _slot;  // bytes of a buffer: kSize, or kColumnSlot with columns
  HugeBuffer _memory;
  char* _data;  // the merge's
  DecodeAhead* _ahead = nullptr;  // not owned; null: file and sink are written in flush()
  DecodeAhead::JobKind _kind = DecodeAhead::kBinaryJob;  // its jobs, with _ahead
  Batch _batches[kJobs]{};  // of the jobs offered, in turn
  uint64_t _offered = 0;    // jobs offered so far
  size_t _used;
  bool _unordered = false;  // of the buffer the merge is writing, with columns
  bool _ended = false;      // the sink has been told that no more columns come
  TopDigits _digits;
};

#endif
