// The header that writeFileHeader() puts into a binary output file: 64 bytes, little-endian.
//
//   offset size  field
//        0    8  magic "TIKORBIN"
//        8    4  format version (1)
//       12    4  header size (64)
//       16    4  time unit in ps (1)
//       20    4  record size (10: signed 64-bit time, signed 16-bit channel)
//       24    8  number of bytes before this header in the file (signed; -1: unknown)
//       32    4  chain position of the device (signed)
//       36    4  flags: bit 0 set when a connected device wrote the header
//       40   24  serial number, zero-padded
//
// Written again after the last record, the header's offset field tells how many records lie
// between the two: (offset - first offset - 64) / 10.
#ifndef RAVIK_KORBALT_FILEHEADER_H
#define RAVIK_KORBALT_FILEHEADER_H

#include <stdint.h>
#include <stdio.h>

namespace korbalt {

constexpr int32_t kFileHeaderSize = 64;
constexpr int32_t kFileHeaderVersion = 1;
constexpr int32_t kRecordSize = 10;
constexpr uint32_t kHeaderDeviceFlag = 1;

struct FileHeader {
  int32_t version;
  int32_t headerSize;
  int32_t timeUnitPs;
  int32_t recordSize;
  int64_t offset;
  int32_t chainPos;
  uint32_t flags;
  char serial[24];  // zero-terminated
};

// The header of a connected device, or of none when `serial` is null.
FileHeader makeFileHeader(const char* serial, int32_t chainPos, int64_t offset);
void encodeFileHeader(const FileHeader& header, uint8_t* out);
// False when `in` does not start with the magic.
bool decodeFileHeader(const uint8_t* in, FileHeader* header);

}  // namespace korbalt

#endif
