#include "merge/hugebuffer.h"

#include <stdint.h>
#include <sys/mman.h>

#include <new>
#include <utility>

HugeBuffer::HugeBuffer(size_t bytes) {
  if (bytes == 0) return;
  if (bytes > SIZE_MAX - 2 * kLargePage) throw std::bad_alloc();
  const size_t size = (bytes + kLargePage - 1) / kLargePage * kLargePage;
  // One large page more than needed, so that a start on a large page's boundary is within; the
  // parts before and after go back at once.
  const size_t mapped = size + kLargePage;
  void* const at = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (at == MAP_FAILED) throw std::bad_alloc();
  char* const base = static_cast<char*>(at);
  char* const start = reinterpret_cast<char*>(
      (reinterpret_cast<uintptr_t>(base) + kLargePage - 1) & ~uintptr_t(kLargePage - 1));
  if (start > base) munmap(base, size_t(start - base));
  if (base + mapped > start + size) munmap(start + size, size_t(base + mapped - (start + size)));
#ifdef MADV_HUGEPAGE
  madvise(start, size, MADV_HUGEPAGE);  // a wish: without it the pages are simply small
#endif
  _data = start;
  _size = size;
}

HugeBuffer::~HugeBuffer() {
  if (_data != nullptr) munmap(_data, _size);
}

HugeBuffer::HugeBuffer(HugeBuffer&& other) noexcept
    : _data(std::exchange(other._data, nullptr)), _size(std::exchange(other._size, 0)) {}

HugeBuffer& HugeBuffer::operator=(HugeBuffer&& other) noexcept {
  if (this != &other) {
    if (_data != nullptr) munmap(_data, _size);
    _data = std::exchange(other._data, nullptr);
    _size = std::exchange(other._size, 0);
  }
  return *this;
}
