#include "chain/devicecore.h"

#include <stdlib.h>

#include <new>

#include "merge/channelmap.h"

int32_t connectDevice(uint32_t index, DeviceLink* link) {
  int32_t rc = 0;
  if (!link->connected) {
    rc = TDC_connect(index);
    link->connected = rc == 0;
  }
  if (rc == 0) rc = TDC_getChainPosition(&link->chainPos, nullptr);
  if (rc != 0) {
    link->features = uint32_t(TDC_checkFeatures());
    return rc;
  }
  rc = TDC_getMarkersEnabled(&link->markers);
  link->features = uint32_t(TDC_checkFeatures());
  if (rc == 0) rc = UL_setParameter(index, 48, 1, 0);
  if (rc == 0) rc = UL_setParameter(index, 48, 2, 0);
  return rc;
}

int32_t startDeviceRecording(uint32_t index, int32_t configured, const std::string& fileName,
                             FILE** file) {
  // 699 = 1 opens a new session, which clears the data-loss flag of the previous one.
  UL_setParameter(index, 699, 0, 1);
  if (configured != 0) return configured;
  if (fileName.empty()) return 0;
  return openTempFile(fileName, file);
}

int32_t startRecording(int32_t count, const std::function<int32_t(int32_t)>& startOne,
                       KorbaltEventCallback callback) {
  for (int32_t i = 0; i < count; ++i) {
    const int32_t rc = startOne(i);
    if (rc != 0) return rc;
  }
  UL_setEventCallback(KORBALT_EVENT_DATA, callback);
  return 0;
}

namespace {

// When the recording being stopped stopped: taken before the callback is removed, as what the
// devices deliver during the removal may still reach the files.
int64_t gStopNs = 0;

}  // namespace

void stopRecording(int32_t count, const std::function<void(int32_t)>& stopOne) {
  gStopNs = monotonicNs();
  UL_setEventCallback(KORBALT_EVENT_DATA, nullptr);
  for (int32_t i = 0; i < count; ++i) stopOne(i);
}

bool hasFiveChannel(uint32_t features) { return (features & KORBALT_FEATURE_FIVE_CHANNEL) != 0; }

uint32_t recordedInputs(bool chainMode, uint32_t features) {
  return chainMode && hasFiveChannel(features) ? kFiveChannelInputs : kFourChannelInputs;
}

bool followChainFiveChannel(uint32_t index, uint32_t features, bool on) {
  if (!hasFiveChannel(features)) return false;
  setFiveChannel(index, on);
  return true;
}

void setFiveChannel(uint32_t index, bool on) {
  if (TDC_addressDevice(index) == 0) TDC_setFiveChannelMode(on);
}

DeviceStatus readDeviceStatus(uint32_t index, int32_t chainPos) {
  TDC_addressDevice(index);
  int32_t lost = 0;
  TDC_getDataLost(&lost);
  int32_t slaveClock = 0, masterClock = 0;
  TDC_getClockState(&slaveClock, &masterClock);
  return {lost != 0, (chainPos == 0 ? masterClock : slaveClock) != 0};
}

DeviceStatus refreshRecording(uint32_t index, int32_t chainPos, const TempWriteState& write,
                              LossLog* log) {
  // The size first: a loss the flag reports came after it (see LossLog::refresh).
  const int64_t bytes = write.bytes.load(std::memory_order_relaxed);
  const DeviceStatus status = readDeviceStatus(index, chainPos);
  log->refresh(bytes, status.lost, status.inSync, monotonicNs());
  if (const int32_t error = write.error.load(std::memory_order_relaxed))
    log->writeFailed(write.bytes.load(std::memory_order_relaxed), error);
  return status;
}

DeviceStatus finishTempStream(uint32_t index, int32_t chainPos, FILE** file,
                              TempWriteState* write, LossLog* log) {
  const int32_t closeError = closeTempFile(file);
  if (closeError != 0 && write->error.load(std::memory_order_relaxed) == 0)
    write->error.store(closeError, std::memory_order_relaxed);
  const DeviceStatus status = refreshRecording(index, chainPos, *write, log);
  log->finish(write->bytes.load(std::memory_order_relaxed), gStopNs);
  return status;
}

std::string rcMessage(int32_t rc, const std::string& operation) {
  const char* text = TDC_perror(rc);
  return operation + " returned \"" + (text ? text : "") + "\"";
}

std::string startMessage(int32_t rc, const std::string& serial, const std::string& fileName) {
  const std::string operation = "start of device " + serial;
  if (rc == kTempFileBusy)
    return operation + ": " + fileName + " is in use by another recording";
  if (rc == kTempFileError) return rcMessage(rc, operation) + ": " + fileName;
  return rcMessage(rc, operation);
}

std::string noPositionMessage(const std::string& serial, int32_t position) {
  return "Device " + serial + " has chain position " + std::to_string(position) +
         " and is not used";
}

std::string connectOperation(uint32_t index, uint32_t count) {
  return "connect (dev " + std::to_string(uint64_t(index) + 1) + " of " + std::to_string(count) +
         ")";
}

std::string chainMessage(const ChainStep& step) {
  if (step.kind == ChainStep::NotUnique)
    return "Sequence number not unique: " + std::to_string(step.position);
  if (step.kind == ChainStep::Missing)
    return "Sequence number missing: " + std::to_string(step.position);
  return std::string();
}

namespace {

// The header's count of the bytes before it: 8 bytes, little-endian, at this offset (see "The
// binary file" in the README).
constexpr size_t kHeaderOffsetField = 24;

}  // namespace

std::function<void(FILE*, bool)> chainDeviceHeader(uint32_t index) {
  TDC_addressDevice(index);
  char* bytes = nullptr;
  size_t size = 0;
  // A stream in memory fails only for want of memory.
  FILE* f = open_memstream(&bytes, &size);
  if (f == nullptr) throw std::bad_alloc();
  writeFileHeader(f, 0);
  const bool made = fclose(f) == 0;
  const std::string header = made ? std::string(bytes, size) : std::string();
  free(bytes);
  if (!made) throw std::bad_alloc();
  // The device is never addressed again from here: the merge writes the header and the trailer
  // on a thread of its own while others address the devices one by one, and the library has one
  // addressed device for all threads. Both are the header made now, with the count of the bytes
  // before them as the library puts it there.
  return [header](FILE* file, bool) {
    std::string bytes = header;
    const uint64_t before = uint64_t(int64_t(ftell(file)));
    for (size_t i = 0; i < 8 && kHeaderOffsetField + i < bytes.size(); ++i)
      bytes[kHeaderOffsetField + i] = char(before >> (8 * i));
    // The output's stream keeps a failed write for its close, which reports it.
    fwrite(bytes.data(), 1, bytes.size(), file);
  };
}
