// Zero-filled working memory of the merge that the kernel may back with 2 MiB pages.
//
// The merge's buffers (output buffers, decoded pages, read chunks, the HDF5 columns) are a few
// MiB that are written from the first record on. In 4 KiB pages, every first write to one of
// them costs a page fault: on a virtual machine about 11 microseconds, so a thousand of them
// per merge, on its two busy threads. Backed by 2 MiB pages, a few faults do. Where the kernel
// has no large pages to give, the memory is the usual 4 KiB pages.
#ifndef RAVIK_MERGE_HUGEBUFFER_H
#define RAVIK_MERGE_HUGEBUFFER_H

#include <stddef.h>

class HugeBuffer {
public:
  static constexpr size_t kLargePage = size_t(2) << 20;

  HugeBuffer() = default;
  // At least `bytes` (a whole number of large pages), all zero; throws std::bad_alloc when the
  // memory cannot be had.
  explicit HugeBuffer(size_t bytes);
  ~HugeBuffer();
  HugeBuffer(HugeBuffer&& other) noexcept;
  HugeBuffer& operator=(HugeBuffer&& other) noexcept;
  HugeBuffer(const HugeBuffer&) = delete;
  HugeBuffer& operator=(const HugeBuffer&) = delete;

  char* data() const { return _data; }
  size_t size() const { return _size; }

private:
  char* _data = nullptr;
  size_t _size = 0;
};

#endif
