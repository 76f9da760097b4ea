#include "monitor/rateslices.h"

#include <algorithm>

namespace {

int64_t floorDiv(int64_t t, int64_t width) {
  const int64_t q = t / width;
  return (t % width != 0 && t < 0) ? q - 1 : q;
}

}  // namespace

RateSlices::RateSlices(size_t keys, int64_t widthPs, int32_t slices)
    : _keys(keys), _width(widthPs), _slices(slices), _counts(keys * size_t(slices), 0) {}

void RateSlices::rollTo(int64_t k) {
  const int64_t from = _newest == INT64_MIN ? k - _slices + 1 : std::max(_newest + 1, k - _slices + 1);
  for (int64_t j = from; j <= k; ++j)
    std::fill_n(_counts.begin() + ptrdiff_t(column(j) * _keys), _keys, 0);
  _newest = k;
  _fastFrom = k * _width;
  // The slice's upper edge, held below the time axis' end.
  _fastTo = _fastFrom > INT64_MAX - _width ? INT64_MAX : _fastFrom + _width;
  _newestRow = _counts.data() + column(k) * _keys;
}

void RateSlices::addSlow(size_t key, int64_t timePs) {
  const int64_t k = floorDiv(timePs, _width);
  if (_newest == INT64_MIN || k > _newest) rollTo(k);
  if (k <= _newest - _slices) return;  // already rolled out
  ++_counts[column(k) * _keys + key];
}

void RateSlices::reach(int64_t timePs) {
  const int64_t k = floorDiv(timePs, _width);
  if (_newest == INT64_MIN || k > _newest) rollTo(k);
}

std::vector<std::vector<int64_t>> RateSlices::data() const {
  std::vector<std::vector<int64_t>> out(_keys, std::vector<int64_t>(size_t(_slices), 0));
  if (_newest == INT64_MIN) return out;
  for (int32_t i = 0; i < _slices; ++i) {
    const int64_t* row = _counts.data() + column(_newest - _slices + 1 + i) * _keys;
    for (size_t key = 0; key < _keys; ++key) out[key][size_t(i)] = row[key];
  }
  return out;
}

int64_t RateSlices::firstBinPs() const {
  return _newest == INT64_MIN ? 0 : (_newest - _slices + 1) * _width;
}
