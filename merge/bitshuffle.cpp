#include "merge/bitshuffle.h"

#include <string.h>

#include <algorithm>

#include <lz4.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define RAVIK_BITSHUFFLE_AVX2 1
#endif

namespace {

// A tile of elements at a time, in two passes that each write few streams at once: the
// elements' bytes into rows (row j: byte j of every element), then each row's bits into its 8
// planes. Writing the 64 planes of a column of 8-byte elements in one pass, 8 KiB apart, had the
// stores contend for the same cache sets and took four times as long; rows of a whole chunk
// (512 KiB) beside the chunk and its planes no longer fit the processor's second-level cache.
// A tile's rows (16 KiB for 8-byte elements) stay in the first.
constexpr size_t kTileElements = 2048;  // a multiple of 64

// Rows `first` ... of `count` elements, byte by byte: the tail, and where there is no vector unit.
void rowsFrom(const uint8_t* elements, size_t first, size_t count, size_t size, uint8_t* rows) {
  for (size_t e = first; e < count; ++e)
    for (size_t j = 0; j < size; ++j) rows[j * count + e] = elements[e * size + j];
}

// The planes of row j (of `count` elements) from element `first` on (a multiple of 8), bit by
// bit; a plane's bytes lie `stride` apart from the next plane's.
void planesFrom(const uint8_t* row, size_t j, size_t first, size_t count, size_t stride,
                uint8_t* planes) {
  for (size_t g = first / 8; g < count / 8; ++g)
    for (size_t k = 0; k < 8; ++k) {
      uint8_t byte = 0;
      for (size_t m = 0; m < 8; ++m) byte |= uint8_t(((row[8 * g + m] >> k) & 1) << m);
      planes[(8 * j + k) * stride + g] = byte;
    }
}

#if defined(__SSE2__)
// 16 elements of 8 bytes from `first` on: their bytes gathered into the 8 rows by four rounds
// of interleaving.
void rowsOfSixteen64(const uint8_t* elements, size_t first, size_t count, uint8_t* rows) {
  const uint8_t* in = elements + first * 8;
  __m128i z[8];
  for (int i = 0; i < 4; ++i) {  // elements 4i ... 4i + 3: bytes 0-3 and 4-7, 4 elements each
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 32 * i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 32 * i + 16));
    const __m128i even = _mm_unpacklo_epi8(a, b), odd = _mm_unpackhi_epi8(a, b);
    z[2 * i] = _mm_unpacklo_epi8(even, odd);
    z[2 * i + 1] = _mm_unpackhi_epi8(even, odd);
  }
  // Bytes (0, 1), (2, 3), (4, 5), (6, 7) of elements 0-7, then of elements 8-15.
  const __m128i w[8] = {_mm_unpacklo_epi32(z[0], z[2]), _mm_unpackhi_epi32(z[0], z[2]),
                        _mm_unpacklo_epi32(z[1], z[3]), _mm_unpackhi_epi32(z[1], z[3]),
                        _mm_unpacklo_epi32(z[4], z[6]), _mm_unpackhi_epi32(z[4], z[6]),
                        _mm_unpacklo_epi32(z[5], z[7]), _mm_unpackhi_epi32(z[5], z[7])};
  for (size_t pair = 0; pair < 4; ++pair) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rows + 2 * pair * count + first),
                     _mm_unpacklo_epi64(w[pair], w[pair + 4]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rows + (2 * pair + 1) * count + first),
                     _mm_unpackhi_epi64(w[pair], w[pair + 4]));
  }
}

// 16 elements of 2 bytes: their low and high bytes packed apart.
void rowsOfSixteen16(const uint8_t* elements, size_t first, size_t count, uint8_t* rows) {
  const uint8_t* in = elements + first * 2;
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16));
  const __m128i low = _mm_set1_epi16(0xff);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(rows + first),
                   _mm_packus_epi16(_mm_and_si128(a, low), _mm_and_si128(b, low)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(rows + count + first),
                   _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8)));
}

// The planes of row j for 64 elements from `first` on: bits 7 down to 0 of each byte, 16 bytes
// at a time, 8 bytes of each plane.
void planesOfSixtyFour(const uint8_t* row, size_t j, size_t first, size_t stride,
                       uint8_t* planes) {
  // Four registers by name: kept in an array, they went through memory at every bit.
  const auto load = [&](size_t i) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + first + 16 * i));
  };
  __m128i v0 = load(0), v1 = load(1), v2 = load(2), v3 = load(3);
  for (int k = 7; k >= 0; --k) {
    const uint64_t bits = uint64_t(uint16_t(_mm_movemask_epi8(v0))) |
                          uint64_t(uint16_t(_mm_movemask_epi8(v1))) << 16 |
                          uint64_t(uint16_t(_mm_movemask_epi8(v2))) << 32 |
                          uint64_t(uint16_t(_mm_movemask_epi8(v3))) << 48;
    v0 = _mm_add_epi8(v0, v0);
    v1 = _mm_add_epi8(v1, v1);
    v2 = _mm_add_epi8(v2, v2);
    v3 = _mm_add_epi8(v3, v3);
    memcpy(planes + (8 * j + size_t(k)) * stride + first / 8, &bits, sizeof bits);
  }
}
#endif

#if RAVIK_BITSHUFFLE_AVX2
// The same with 32 bytes at a time, on processors that have them (chosen as the program runs):
// each half of a register takes 16 elements of its own, so that a row's 32 bytes are those of
// 32 elements in a row.
#define RAVIK_AVX2 __attribute__((target("avx2")))

RAVIK_AVX2 inline __m256i loadHalves(const uint8_t* low, const uint8_t* high) {
  return _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(high)), 1);
}

RAVIK_AVX2 void rowsOfThirtyTwo64(const uint8_t* elements, size_t first, size_t count,
                                  uint8_t* rows) {
  const uint8_t* in = elements + first * 8;
  __m256i z[8];
  for (int i = 0; i < 4; ++i) {
    const __m256i a = loadHalves(in + 32 * i, in + 128 + 32 * i);
    const __m256i b = loadHalves(in + 32 * i + 16, in + 128 + 32 * i + 16);
    const __m256i even = _mm256_unpacklo_epi8(a, b), odd = _mm256_unpackhi_epi8(a, b);
    z[2 * i] = _mm256_unpacklo_epi8(even, odd);
    z[2 * i + 1] = _mm256_unpackhi_epi8(even, odd);
  }
  const __m256i w[8] = {_mm256_unpacklo_epi32(z[0], z[2]), _mm256_unpackhi_epi32(z[0], z[2]),
                        _mm256_unpacklo_epi32(z[1], z[3]), _mm256_unpackhi_epi32(z[1], z[3]),
                        _mm256_unpacklo_epi32(z[4], z[6]), _mm256_unpackhi_epi32(z[4], z[6]),
                        _mm256_unpacklo_epi32(z[5], z[7]), _mm256_unpackhi_epi32(z[5], z[7])};
  for (size_t pair = 0; pair < 4; ++pair) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(rows + 2 * pair * count + first),
                        _mm256_unpacklo_epi64(w[pair], w[pair + 4]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(rows + (2 * pair + 1) * count + first),
                        _mm256_unpackhi_epi64(w[pair], w[pair + 4]));
  }
}

// 32 elements of 2 bytes; packing works within each half, the quarters are put back in order.
RAVIK_AVX2 void rowsOfThirtyTwo16(const uint8_t* elements, size_t first, size_t count,
                                  uint8_t* rows) {
  const uint8_t* in = elements + first * 2;
  const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
  const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 32));
  const __m256i low = _mm256_set1_epi16(0xff);
  const __m256i bytes0 = _mm256_packus_epi16(_mm256_and_si256(a, low), _mm256_and_si256(b, low));
  const __m256i bytes1 = _mm256_packus_epi16(_mm256_srli_epi16(a, 8), _mm256_srli_epi16(b, 8));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(rows + first),
                      _mm256_permute4x64_epi64(bytes0, 0xd8));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(rows + count + first),
                      _mm256_permute4x64_epi64(bytes1, 0xd8));
}

RAVIK_AVX2 void planesOfSixtyFourAvx2(const uint8_t* row, size_t j, size_t first,
                                      size_t stride, uint8_t* planes) {
  __m256i v[2] = {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + first)),
                  _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + first + 32))};
  for (int k = 7; k >= 0; --k) {
    const uint64_t bits = uint64_t(uint32_t(_mm256_movemask_epi8(v[0]))) |
                          uint64_t(uint32_t(_mm256_movemask_epi8(v[1]))) << 32;
    v[0] = _mm256_add_epi8(v[0], v[0]);
    v[1] = _mm256_add_epi8(v[1], v[1]);
    memcpy(planes + (8 * j + size_t(k)) * stride + first / 8, &bits, sizeof bits);
  }
}

// With 64-byte vectors and the Galois-field instructions (AVX-512BW, VBMI and GFNI): the bytes of
// each 8 elements taken as an 8 x 8 matrix of bits, which one affine step transposes (with the
// bytes reversed first, it multiplies the constant's byte b, 1 << b, by the matrix: bit i of the
// result is bit b of element i), then the planes' bytes of the 8 groups put side by side.
#define RAVIK_AVX512 __attribute__((target("avx512bw,avx512vbmi,gfni")))
// The planes of row j's first `done` elements (a multiple of 64).
RAVIK_AVX512 void planesOfRowAvx512(const uint8_t* row, size_t j, size_t done, size_t stride,
                                    uint8_t* planes) {
  alignas(64) static const uint8_t kReversed[64] = {
      7,  6,  5,  4,  3,  2,  1,  0,  15, 14, 13, 12, 11, 10, 9,  8,  7,  6,  5,  4,  3,  2,
      1,  0,  15, 14, 13, 12, 11, 10, 9,  8,  7,  6,  5,  4,  3,  2,  1,  0,  15, 14, 13, 12,
      11, 10, 9,  8,  7,  6,  5,  4,  3,  2,  1,  0,  15, 14, 13, 12, 11, 10, 9,  8};
  // Byte 8b + g of the result: byte b of group g's planes (g: the 8 elements 8g ... 8g + 7).
  alignas(64) static const uint8_t kSideBySide[64] = {
      0, 8,  16, 24, 32, 40, 48, 56, 1, 9,  17, 25, 33, 41, 49, 57, 2, 10, 18, 26, 34, 42,
      50, 58, 3, 11, 19, 27, 35, 43, 51, 59, 4, 12, 20, 28, 36, 44, 52, 60, 5, 13, 21, 29,
      37, 45, 53, 61, 6, 14, 22, 30, 38, 46, 54, 62, 7, 15, 23, 31, 39, 47, 55, 63};
  const __m512i bits = _mm512_set1_epi64(int64_t(0x8040201008040201));
  const __m512i reversed = _mm512_load_si512(kReversed);
  const __m512i sideBySide = _mm512_load_si512(kSideBySide);
  for (size_t first = 0; first < done; first += 64) {
    const __m512i v = _mm512_shuffle_epi8(_mm512_loadu_si512(row + first), reversed);
    const __m512i byPlane = _mm512_maskz_permutexvar_epi8(
        ~__mmask64(0), sideBySide, _mm512_gf2p8affine_epi64_epi8(bits, v, 0));
    // Taken out of the register in quarters: through memory, each 8-byte load of the 64-byte
    // store would wait for it.
    uint8_t* to = planes + 8 * j * stride + first / 8;
    const auto quarter = [&](__m128i q, size_t b) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(to + b * stride), q);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(to + (b + 1) * stride),
                       _mm_unpackhi_epi64(q, q));
    };
    // (The masked extraction: the unmasked one warns in GCC 12's header.)
    quarter(_mm512_maskz_extracti32x4_epi32(0xf, byPlane, 0), 0);
    quarter(_mm512_maskz_extracti32x4_epi32(0xf, byPlane, 1), 2);
    quarter(_mm512_maskz_extracti32x4_epi32(0xf, byPlane, 2), 4);
    quarter(_mm512_maskz_extracti32x4_epi32(0xf, byPlane, 3), 6);
  }
}

// Both passes for as many elements as whole vectors take; returns how many (a multiple of 64).
RAVIK_AVX2 size_t bitPlanesAvx2(const uint8_t* elements, size_t count, size_t size,
                                uint8_t* rows, size_t stride, uint8_t* planes, bool avx512) {
  const size_t done = count / 64 * 64;
  for (size_t first = 0; first < done; first += 32) {
    if (size == 8) rowsOfThirtyTwo64(elements, first, count, rows);
    else rowsOfThirtyTwo16(elements, first, count, rows);
  }
  rowsFrom(elements, done, count, size, rows);
  for (size_t j = 0; j < size; ++j) {
    if (avx512) {
      planesOfRowAvx512(rows + j * count, j, done, stride, planes);
      continue;
    }
    for (size_t first = 0; first < done; first += 64)
      planesOfSixtyFourAvx2(rows + j * count, j, first, stride, planes);
  }
  return done;
}
#endif

void writeBigEndian(uint8_t* at, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i, value >>= 8) at[i] = uint8_t(value);
}

// The planes of the `count` elements of a tile, whose planes' bytes lie `stride` apart.
void tilePlanes(const uint8_t* elements, size_t count, size_t size, uint8_t* rows,
                size_t stride, uint8_t* planes, Vectors vectors) {
#if RAVIK_BITSHUFFLE_AVX2
  if (vectors != Vectors::Sse2 && (size == 8 || size == 2)) {
    const size_t done = bitPlanesAvx2(elements, count, size, rows, stride, planes,
                                      vectors == Vectors::Avx512);
    for (size_t j = 0; j < size; ++j) planesFrom(rows + j * count, j, done, count, stride, planes);
    return;
  }
#else
  (void)vectors;
#endif
  size_t first = 0;
#if defined(__SSE2__)
  if (size == 8)
    for (; first + 16 <= count; first += 16) rowsOfSixteen64(elements, first, count, rows);
  else if (size == 2)
    for (; first + 16 <= count; first += 16) rowsOfSixteen16(elements, first, count, rows);
#endif
  rowsFrom(elements, first, count, size, rows);
  for (size_t j = 0; j < size; ++j) {
    first = 0;
#if defined(__SSE2__)
    for (; first + 64 <= count; first += 64)
      planesOfSixtyFour(rows + j * count, j, first, stride, planes);
#endif
    planesFrom(rows + j * count, j, first, count, stride, planes);
  }
}

// The bit planes of `count` elements of `size` bytes (count a multiple of 8), into `planes`;
// `rows` is room for a tile's bytes on the way (kTileElements * size bytes).
void bitPlanes(const uint8_t* elements, size_t count, size_t size, uint8_t* rows,
               uint8_t* planes, Vectors vectors) {
  for (size_t first = 0; first < count; first += kTileElements)
    tilePlanes(elements + first * size, std::min(kTileElements, count - first), size, rows,
               count / 8, planes + first / 8, vectors);
}

}  // namespace

Vectors widestVectors() {
#if RAVIK_BITSHUFFLE_AVX2
  if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi") &&
      __builtin_cpu_supports("gfni"))
    return Vectors::Avx512;
  if (__builtin_cpu_supports("avx2")) return Vectors::Avx2;
#endif
  return Vectors::Sse2;
}

const uint8_t* BitshuffleLz4::encode(const void* elements, size_t count, size_t size,
                                     size_t block, size_t* bytes) {
  const uint8_t* in = static_cast<const uint8_t*>(elements);
  const size_t blockBytes = block * size;
  _rows.resize(kTileElements * size);
  _planes.resize(blockBytes);
  const size_t blocks = count / block + 1;
  const size_t bound = 12 + blocks * (4 + size_t(LZ4_compressBound(int(blockBytes)))) + 8 * size;
  if (_chunk.size() < bound) _chunk.resize(bound);
  uint8_t* out = _chunk.data();
  writeBigEndian(out, count * size, 8);
  writeBigEndian(out + 8, blockBytes, 4);
  size_t at = 12, done = 0;
  for (;;) {
    const size_t left = count - done;
    const size_t n = left >= block ? block : left - left % 8;
    if (n == 0) break;
    bitPlanes(in + done * size, n, size, _rows.data(), _planes.data(), _vectors);
    const int packed = LZ4_compress_default(reinterpret_cast<const char*>(_planes.data()),
                                            reinterpret_cast<char*>(out + at + 4), int(n * size),
                                            int(_chunk.size() - at - 4));
    if (packed <= 0) return nullptr;
    writeBigEndian(out + at, uint64_t(packed), 4);
    at += 4 + size_t(packed);
    done += n;
  }
  memcpy(out + at, in + done * size, (count - done) * size);
  *bytes = at + (count - done) * size;
  return out;
}
