// The parts of recording that the window and the headless recorder share: chain ordering,
// temp file naming, opening and closing, and appending a delivered block. No Qt.
#ifndef RAVIK_DEVICE_RECORDCORE_H
#define RAVIK_DEVICE_RECORDCORE_H

#include <stdint.h>
#include <stdio.h>

#include <atomic>
#include <string>
#include <vector>

// Results of openTempFile() when the file cannot be created (reported like a library code), and
// when another recording holds it.
constexpr int32_t kTempFileError = 11;
constexpr int32_t kTempFileBusy = 1011;

// One step of placing the devices in chain order.
struct ChainStep {
  enum Kind {
    Place,      // append `device` to the chain
    NotUnique,  // two or more devices share `position` (all of them were placed)
    Missing,    // no device has `position`; a caller may stop the ordering here
  };
  Kind kind;
  int32_t position;
  int32_t device;  // index into the list given to chainOrder(); -1 for the reports
};

// The steps that place devices with the given chain positions (in discovery order): positions
// 0 up to the highest, devices of one position in discovery order, followed by the position's
// report. Devices with a negative position are never placed.
std::vector<ChainStep> chainOrder(const std::vector<int32_t>& positions);

// "<dir>/ravik-<index>.tmp"
std::string tempFileName(const std::string& dir, uint32_t index);

// Creates or truncates `name` for writing into *file: 0, or kTempFileError or kTempFileBusy with
// *file null. The file is first locked (an advisory lock, held until the file is closed): a file
// that another recording is writing or merging is never truncated.
int32_t openTempFile(const std::string& name, FILE** file);

// Takes the lock of openTempFile() on a temp file opened for reading: 0, or kTempFileBusy when
// another recording holds it.
int32_t lockTempFile(FILE* file);

// Sets *file to null before closing it, so that a reader of the handle never sees a closed file.
void closeTempFile(FILE** file);

// One delivered block of `count` 32-bit words: appended unchanged in one write when `file` is
// open, and counted as 3 * count / 2 events also when it is not. Nothing happens for count <= 0.
// The write result is not checked: a short write leaves the file without those words.
inline void recordBlock(FILE* file, std::atomic<uint32_t>& events, const uint32_t* words,
                        int32_t count) {
  if (count <= 0) return;
  if (file) fwrite(words, sizeof(uint32_t), size_t(count), file);
  // Only the callback thread writes the counter, so a plain load and store suffice.
  events.store(events.load(std::memory_order_relaxed) + uint32_t(3 * int64_t(count) / 2),
               std::memory_order_relaxed);
}

#endif
