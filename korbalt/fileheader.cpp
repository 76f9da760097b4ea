#include "korbalt/fileheader.h"

#include <string.h>

#include "device/korbalt.h"
#include "korbalt/library.h"

namespace korbalt {

namespace {

const char kMagic[8] = {'T', 'I', 'K', 'O', 'R', 'B', 'I', 'N'};

void putLittle(uint64_t value, int bytes, uint8_t* out) {
  for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t getLittle(const uint8_t* in, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | in[i];
  return value;
}

}  // namespace

FileHeader makeFileHeader(const char* serial, int32_t chainPos, int64_t offset) {
  FileHeader h{};
  h.version = kFileHeaderVersion;
  h.headerSize = kFileHeaderSize;
  h.timeUnitPs = 1;
  h.recordSize = kRecordSize;
  h.offset = offset;
  h.chainPos = serial != nullptr ? chainPos : -1;
  h.flags = serial != nullptr ? kHeaderDeviceFlag : 0;
  if (serial != nullptr) strncpy(h.serial, serial, sizeof h.serial - 1);
  return h;
}

void encodeFileHeader(const FileHeader& h, uint8_t* out) {
  memcpy(out, kMagic, sizeof kMagic);
  putLittle(static_cast<uint32_t>(h.version), 4, out + 8);
  putLittle(static_cast<uint32_t>(h.headerSize), 4, out + 12);
  putLittle(static_cast<uint32_t>(h.timeUnitPs), 4, out + 16);
  putLittle(static_cast<uint32_t>(h.recordSize), 4, out + 20);
  putLittle(static_cast<uint64_t>(h.offset), 8, out + 24);
  putLittle(static_cast<uint32_t>(h.chainPos), 4, out + 32);
  putLittle(h.flags, 4, out + 36);
  memcpy(out + 40, h.serial, sizeof h.serial);
}

bool decodeFileHeader(const uint8_t* in, FileHeader* h) {
  if (memcmp(in, kMagic, sizeof kMagic) != 0) return false;
  h->version = static_cast<int32_t>(getLittle(in + 8, 4));
  h->headerSize = static_cast<int32_t>(getLittle(in + 12, 4));
  h->timeUnitPs = static_cast<int32_t>(getLittle(in + 16, 4));
  h->recordSize = static_cast<int32_t>(getLittle(in + 20, 4));
  h->offset = static_cast<int64_t>(getLittle(in + 24, 8));
  h->chainPos = static_cast<int32_t>(getLittle(in + 32, 4));
  h->flags = static_cast<uint32_t>(getLittle(in + 36, 4));
  memcpy(h->serial, in + 40, sizeof h->serial);
  h->serial[sizeof h->serial - 1] = '\0';
  return true;
}

}  // namespace korbalt

extern "C" int32_t writeFileHeader(FILE* file, int32_t flags) {
  if (file == nullptr || flags != 0) return KORBALT_BAD_ARGUMENT;
  korbalt::Library& library = korbalt::Library::instance();
  int32_t code = KORBALT_NO_DEVICE;
  korbalt::FileHeader header;
  {
    korbalt::Guard guard(library.lock());
    const korbalt::SimDevice* d = library.addressed();
    const bool usable = d != nullptr && d->connected();
    if (d != nullptr) code = usable ? KORBALT_OK : KORBALT_NOT_CONNECTED;
    header = korbalt::makeFileHeader(usable ? d->setup().serial.c_str() : nullptr,
                                     usable ? d->setup().chainPos : -1, ftell(file));
  }
  uint8_t bytes[korbalt::kFileHeaderSize];
  korbalt::encodeFileHeader(header, bytes);
  if (fwrite(bytes, sizeof bytes, 1, file) != 1) return KORBALT_FILE_OPEN_FAILED;
  return code;
}
