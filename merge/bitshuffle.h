// A column's chunk as the HDF5 bitshuffle filter (32008) with LZ4 stores it, encoded here so
// that the HDF5 output can write its whole chunks straight to the file: through the library's
// filter pipeline each chunk cost two fresh buffers of its size, and most of the compressed
// output's time went to the kernel's page faults for them. The file reads the same either way
// (the filter's plugin decodes it), and its chunks are byte for byte those the plugin writes.
//
// A chunk: the uncompressed size (8 bytes, big-endian), the block size in bytes (4 bytes,
// big-endian), then each block of `block` elements as its compressed size (4 bytes, big-endian)
// and LZ4's block of its bit planes; the last block holds the elements left over, rounded down
// to a multiple of 8, and the last count % 8 elements follow as they are. The bit planes of a
// block of n elements: plane p (bit p of each element, the lowest first) holds n / 8 bytes, and
// bit m of its byte k is bit p of element 8k + m.
//
// No Qt and no HDF5; one encoder serves one thread at a time (its buffers are reused).
#ifndef RAVIK_MERGE_BITSHUFFLE_H
#define RAVIK_MERGE_BITSHUFFLE_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

// The vector instructions that the bit planes are made with: 16 bytes at a time (SSE2, where
// there is no vector unit byte by byte), 32 (AVX2), or 32 and the planes of 64 bytes at a time
// by transposing matrices of bits (AVX-512BW, VBMI and GFNI). The chunks are the same with each.
enum class Vectors : uint8_t { Sse2, Avx2, Avx512 };

// The widest that the processor has.
Vectors widestVectors();

class BitshuffleLz4 {
public:
  explicit BitshuffleLz4(Vectors vectors = widestVectors()) : _vectors(vectors) {}

  // Encodes `count` elements of `size` bytes in blocks of `block` elements (a multiple of 8).
  // Returns the chunk, valid until the next call, and its length in `bytes`; null when LZ4
  // fails (it does not, for blocks below its limit of about 2 GB).
  const uint8_t* encode(const void* elements, size_t count, size_t size, size_t block,
                        size_t* bytes);

private:
  Vectors _vectors;
  std::vector<uint8_t> _rows, _planes, _chunk;
};

#endif
