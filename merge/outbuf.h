// Buffered writers of the merge's two record formats. Records are formatted by hand into a large
// buffer and written in big pieces: the merge writes hundreds of millions of them.
#ifndef RAVIK_MERGE_OUTBUF_H
#define RAVIK_MERGE_OUTBUF_H

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <memory>

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

class OutBuf {
public:
  // `sink` (not owned; null: none) also receives every flushed buffer; give it only to a buffer
  // of binary records.
  explicit OutBuf(FILE* file, RecordSink* sink = nullptr)
      : _file(file), _sink(sink), _data(file || sink ? new char[kSize] : nullptr), _used(0) {}
  ~OutBuf() { flush(); }
  OutBuf(const OutBuf&) = delete;
  OutBuf& operator=(const OutBuf&) = delete;

  bool open() const { return _file != nullptr || _sink != nullptr; }

  // "<time>, <channel>\n", as printf's "%lld, %hd\n" writes it.
  void putText(int64_t time, int16_t channel) {
    reserve(kMaxTextLine);
    char* p = _data.get() + _used;
    p = putDecimal(p, time);
    if (channel >= 0 && channel < kOutBufTailCount) {
      // One or two digits, chosen by table: whether the next line has one or two is as good as
      // random when devices interleave, so a branch on it would often go the wrong way.
      const OutBufTail& tail = kOutBufTails.entry[channel];
      memcpy(p, tail.text, sizeof tail.text);
      p += tail.length;
    } else {
      *p++ = ',';
      *p++ = ' ';
      p = putDecimal(p, channel);
      *p++ = '\n';
    }
    _used = size_t(p - _data.get());
  }

  // 8-byte time and 2-byte channel, little-endian (the host's order).
  void putBinary(int64_t time, int16_t channel) {
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "records are written in host order");
    reserve(10);
    char* p = _data.get() + _used;
    memcpy(p, &time, 8);
    memcpy(p + 8, &channel, 2);
    _used += 10;
  }

  // Hands what is buffered to the file, e.g. before others write to it directly.
  void flush() {
    if (_used && _file) fwrite(_data.get(), 1, _used, _file);
    if (_used && _sink) _sink->putRecords(_data.get(), _used / 10);
    _used = 0;
  }

  // Decimal text of v at p; returns the end. Exposed for tests.
  static char* putDecimal(char* p, int64_t v) {
    uint64_t u = uint64_t(v);
    if (v < 0) {
      *p++ = '-';
      u = 0 - u;  // also right for the most negative value
    }
    // Eight-digit groups converted with independent 32-bit arithmetic, so that the divisions of
    // one number do not wait for each other.
    if (u < 100000000) return putUpTo8(p, uint32_t(u));
    if (u < 10000000000000000ULL) {
      p = putUpTo8(p, uint32_t(u / 100000000));
      put8(p, uint32_t(u % 100000000));
      return p + 8;
    }
    p = putUpTo8(p, uint32_t(u / 10000000000000000ULL));
    put8(p, uint32_t(u / 100000000 % 100000000));
    put8(p + 8, uint32_t(u % 100000000));
    return p + 16;
  }

private:
  static constexpr size_t kSize = 1 << 20;
  static constexpr size_t kMaxTextLine = 20 + 2 + 6 + 1;
  static constexpr const char* kDigitPairs =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";

  // Exactly two digits of v < 100.
  static void put2(char* p, uint32_t v) { memcpy(p, kDigitPairs + 2 * v, 2); }
  // Exactly four digits of v < 10000.
  static void put4(char* p, uint32_t v) {
    put2(p, v / 100);
    put2(p + 2, v % 100);
  }
  // Exactly eight digits of v < 100000000.
  static void put8(char* p, uint32_t v) {
    put4(p, v / 10000);
    put4(p + 4, v % 10000);
  }
  // The digits of v < 10000 without leading zeros; returns the end.
  static char* putUpTo4(char* p, uint32_t v) {
    if (v < 10) {
      *p = char('0' + v);
      return p + 1;
    }
    if (v < 100) {
      put2(p, v);
      return p + 2;
    }
    if (v < 1000) {
      *p = char('0' + v / 100);
      put2(p + 1, v % 100);
      return p + 3;
    }
    put4(p, v);
    return p + 4;
  }
  // The digits of v < 100000000 without leading zeros; returns the end.
  static char* putUpTo8(char* p, uint32_t v) {
    if (v < 10000) return putUpTo4(p, v);
    p = putUpTo4(p, v / 10000);
    put4(p, v % 10000);
    return p + 4;
  }

  void reserve(size_t bytes) {
    if (_used + bytes > kSize) flush();
  }

  FILE* _file;                    // not owned
  RecordSink* _sink;              // not owned
  std::unique_ptr<char[]> _data;  // kSize bytes
  size_t _used;
};

#endif
