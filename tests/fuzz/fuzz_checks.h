// Property checks of the codec's decoders on arbitrary input, shared by the fuzz targets and by
// the test that replays the kept inputs under any compiler.
//
// Each check reads a small configuration from the first bytes (sorting offsets, divider, start
// period, marker mask, block sizes), feeds the rest to one decoder in blocks copied to buffers of
// their exact size, pops after every block and aborts when a property fails. Memory errors and
// undefined behaviour are left to the sanitizers.
#ifndef RAVIK_TESTS_FUZZ_FUZZ_CHECKS_H
#define RAVIK_TESTS_FUZZ_FUZZ_CHECKS_H

#include <stddef.h>
#include <stdint.h>

void fuzzDecode60(const uint8_t* data, size_t size);
void fuzzDecode(const uint8_t* data, size_t size);
void fuzzDecode52x(const uint8_t* data, size_t size);
void fuzzDecode52(const uint8_t* data, size_t size);
void fuzzDecode60b(const uint8_t* data, size_t size);
// Timestamps from the input, packed into the 60-bit format and decoded again, must come back.
void fuzzPack60(const uint8_t* data, size_t size);

struct FuzzCheck {
  const char* name;  // also the corpus folder of its kept inputs
  void (*check)(const uint8_t* data, size_t size);
};
extern const FuzzCheck kFuzzChecks[6];

#endif
