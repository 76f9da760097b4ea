// What an HDF5 file's dataset holds and the filters it is stored with, for the tests of the HDF5
// outputs.
#ifndef RAVIK_TESTS_HDF5_FILTERS_H
#define RAVIK_TESTS_HDF5_FILTERS_H

#include <gtest/gtest.h>
#include <hdf5.h>

#include <algorithm>

#include <string>
#include <vector>

// The filters of the dataset `path` of the open `file`, in their order; none for a plain one.
inline std::vector<H5Z_filter_t> filtersOf(hid_t file, const char* path) {
  const hid_t set = H5Dopen2(file, path, H5P_DEFAULT), props = H5Dget_create_plist(set);
  std::vector<H5Z_filter_t> filters;
  for (int i = 0; i < H5Pget_nfilters(props); ++i) {
    unsigned flags = 0;
    size_t values = 0;
    filters.push_back(H5Pget_filter2(props, unsigned(i), &flags, &values, nullptr, 0, nullptr,
                                     nullptr));
  }
  H5Pclose(props);
  H5Dclose(set);
  return filters;
}

// The same for the timestamps of the HDF5 output at `path`.
inline std::vector<H5Z_filter_t> timestampsFilters(const std::string& path) {
  const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  const std::vector<H5Z_filter_t> filters = filtersOf(file, "/photon_data/timestamps");
  H5Fclose(file);
  return filters;
}

// The number of values in the dataset `path` of the open `file`, or -1 when it has none of that
// name; of the file named `file`, -1 also when it cannot be opened.
inline int64_t datasetSize(hid_t file, const char* path) {
  const hid_t set = file < 0 ? -1 : H5Dopen2(file, path, H5P_DEFAULT);
  if (set < 0) return -1;
  const hid_t space = H5Dget_space(set);
  const int64_t n = H5Sget_simple_extent_npoints(space);
  H5Sclose(space);
  H5Dclose(set);
  return n;
}
inline int64_t datasetSize(const std::string& file, const char* path) {
  const hid_t f = H5Fopen(file.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  const int64_t n = datasetSize(f, path);
  if (f >= 0) H5Fclose(f);
  return n;
}

// The values of the dataset `path` of the open `file`, read as `type`.
template <typename T>
std::vector<T> readData(hid_t file, const char* path, hid_t type) {
  const hid_t set = H5Dopen2(file, path, H5P_DEFAULT), space = H5Dget_space(set);
  EXPECT_GE(set, 0) << path;
  const size_t n = size_t(std::max<hssize_t>(H5Sget_simple_extent_npoints(space), 0));
  std::vector<T> values(std::max<size_t>(n, 1));
  EXPECT_GE(H5Dread(set, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), 0) << path;
  values.resize(n);
  H5Sclose(space);
  H5Dclose(set);
  return values;
}

// The fixed-length strings of the dataset `path` of the file named `file` (one for a scalar).
inline std::vector<std::string> readStrings(const std::string& file, const char* path) {
  const hid_t f = H5Fopen(file.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  const hid_t set = f < 0 ? -1 : H5Dopen2(f, path, H5P_DEFAULT);
  std::vector<std::string> strings;
  if (set >= 0) {
    const hid_t type = H5Dget_type(set), space = H5Dget_space(set);
    const size_t size = H5Tget_size(type), n = size_t(H5Sget_simple_extent_npoints(space));
    std::string bytes(size * n, '\0');
    if (H5Dread(set, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, &bytes[0]) >= 0)
      for (size_t i = 0; i < n; ++i) strings.push_back(bytes.substr(i * size, size).c_str());
    H5Sclose(space);
    H5Tclose(type);
    H5Dclose(set);
  }
  if (f >= 0) H5Fclose(f);
  return strings;
}

#endif
