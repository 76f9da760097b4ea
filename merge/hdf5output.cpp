#include "merge/hdf5output.h"

#include <errno.h>
#include <stddef.h>
#include <hdf5.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <tuple>

namespace {

// The TITLE of every node written here. Readers of the format compare the published field
// descriptions with these texts character for character.
struct NodeTitle {
  const char* path;
  const char* title;
};
constexpr NodeTitle kTitles[] = {
    {"/", "A file format for photon-counting detector based single-molecule spectroscopy "
          "experiments."},
    {"/description", "A user-defined comment describing the data file."},
    {"/acquisition_duration", "Measurement duration in seconds."},
    {"/format_name", "Name of the file format."},
    {"/format_version", "Version for the Photon-HDF5 format."},
    {"/photon_data", "Group containing arrays of photon-data."},
    {"/photon_data/timestamps", "Array of photon timestamps. Units specified in timestamps_units "
                                "(defined in timestamps_specs/)."},
    {"/photon_data/detectors", "Array of pixel IDs for each timestamp."},
    {"/photon_data/timestamps_specs", "Specifications for timestamps."},
    {"/photon_data/timestamps_specs/timestamps_unit",
     "Value of 1-unit timestamp-increment in seconds."},
    {"/setup", "Information about the experimental setup."},
    {"/setup/num_pixels", "Total number of detector pixels."},
    {"/setup/num_spots", "Number of excitation (or detection) \"spots\" in the sample."},
    {"/setup/num_spectral_ch", "Number of distinct spectral bands which are acquired."},
    {"/setup/num_polarization_ch", "Number of distinct polarization states which are acquired."},
    {"/setup/num_split_ch",
     "Number of distinct detection channels detecting the same spectral band and polarization. "
     "This value is > 1 when using a non-polarizing beam splitter."},
    {"/setup/modulated_excitation",
     "True (i.e. 1) if there is any form of excitation modulation of excitation wavelength (as "
     "in us-ALEX or PAX) or polarization. This field is also True for pulse-interleaved "
     "excitation (PIE) or ns-ALEX measurements."},
    {"/setup/excitation_alternated",
     "New in version 0.5. Indicates whether each excitation source is alternated (True, or 1) or "
     "not alternated (False, or 0)."},
    {"/setup/lifetime",
     "True (i.e. 1) if the measurement includes a nanotimes array of photon arrival times with "
     "respect to a laser pulse (as in TCSPC measurements)."},
    {"/setup/detectors", "Metadata relative to each detector's pixel. Each field is an array with "
                         "size equal to the number of the detectors."},
    {"/setup/detectors/id", "Detector IDs as they appear on /photon_data/detectors."},
    {"/setup/detectors/counts", "Total number of counts detected by each detector."},
    {"/identity", "Information about the Photon-HDF5 data file."},
    {"/identity/format_name", "Name of the file format."},
    {"/identity/format_version", "Version for the Photon-HDF5 format."},
    {"/identity/format_url", "Official URL for the Photon-HDF5 format."},
    {"/identity/software", "Name of the software used to create the current Photon-HDF5 file."},
    {"/identity/software_version",
     "Version of the software used to create current the Photon-HDF5 file."},
    {"/identity/creation_time", "Creation time of the current Photon-HDF5 file."},
    {"/identity/filename",
     "Original file name of the current Photon-HDF5 file (i.e. file name at creation time)."},
    {"/identity/filename_full", "Original file name (with full path) of the current Photon-HDF5 "
                                "file (i.e. full file name at creation time)."},
    {"/provenance", "Information about the original data file."},
    {"/provenance/filename", "File name of the original data file before conversion to "
                             "Photon-HDF5."},
    {"/provenance/filename_full",
     "File name (with full path) of the original data file before conversion to Photon-HDF5."},
    {"/provenance/modification_time", "Time of last modification of the original data file."},
    {"/provenance/software", "Software used to save the original data file."},
    {"/provenance/software_version", "Version of the software used to save the original data "
                                     "file."},
    // Ravik's own nodes, in the format's place for user data.
    {"/user", "User data."},
    {"/user/ravik", "Ravik's description of the run."},
    {"/user/ravik/report", "The run report as JSON."},
    {"/user/ravik/loss_intervals",
     "Intervals in which a device's data were lost: chain position, from and to in ps, cause."},
};

const char* titleOf(const std::string& path) {
  for (const NodeTitle& t : kTitles)
    if (path == t.path) return t.title;
  return nullptr;
}

// An HDF5 identifier closed when it goes out of scope.
class Hid {
public:
  Hid(hid_t id, herr_t (*close)(hid_t)) : _id(id), _close(close) {}
  ~Hid() { reset(); }
  Hid(const Hid&) = delete;
  Hid& operator=(const Hid&) = delete;
  operator hid_t() const { return _id; }
  bool ok() const { return _id >= 0; }
  // Closes now; false when closing failed (a flush that could not write).
  bool reset() {
    const bool closed = _id < 0 || _close(_id) >= 0;
    _id = -1;
    return closed;
  }

private:
  hid_t _id;
  herr_t (*_close)(hid_t);
};

// Failures are reported through the return values, with our own messages, not printed by the
// library (a setting of the calling thread).
void quietErrors() { H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr); }

// The most specific text on the library's error stack.
herr_t takeInnermost(unsigned n, const H5E_error2_t* e, void* text) {
  if (n == 0 && e->desc != nullptr) *static_cast<std::string*>(text) = e->desc;
  return 0;
}

std::string hdf5ErrorText(int savedErrno) {
  if (savedErrno != 0) return strerror(savedErrno);
  std::string text = "HDF5 error";
  H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD, takeInnermost, &text);
  return text;
}

std::string timeText(time_t t) {
  struct tm local;
  char text[32];
  localtime_r(&t, &local);
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::string baseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The path with its folder resolved (the file itself need not exist yet).
std::string fullName(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  char resolved[PATH_MAX];
  if (realpath(dir.c_str(), resolved) == nullptr) return path;
  return std::string(strcmp(resolved, "/") == 0 ? "" : resolved) + "/" + baseName(path);
}

std::string joined(const std::vector<std::string>& parts) {
  std::string all;
  for (const std::string& p : parts) all += (all.empty() ? "" : ", ") + p;
  return all;
}

// Writes the nodes of the description; each call adds its node under `parent` with its TITLE.
// The first failure is kept: `ok` stays false from then on and later calls do nothing.
class NodeWriter {
public:
  bool ok = true;

  bool title(hid_t node, const std::string& path) {
    const char* text = titleOf(path);
    if (text == nullptr) return false;
    Hid type(stringType(strlen(text)), H5Tclose);
    Hid space(H5Screate(H5S_SCALAR), H5Sclose);
    Hid attr(H5Acreate2(node, "TITLE", type, space, H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
    return attr.ok() && H5Awrite(attr, type, text) >= 0;
  }

  hid_t group(hid_t parent, const std::string& path) {
    hid_t g = ok ? H5Gcreate2(parent, baseName(path).c_str(), H5P_DEFAULT, H5P_DEFAULT,
                              H5P_DEFAULT)
                 : -1;
    ok = ok && g >= 0 && title(g, path);
    return g;
  }

  void string(hid_t parent, const std::string& path, const std::string& value) {
    std::string padded = value.empty() ? std::string(1, '\0') : value;
    Hid type(stringType(padded.size()), H5Tclose);
    data(parent, path, type, type, H5S_SCALAR, 0, padded.data());
  }

  void integer(hid_t parent, const std::string& path, int64_t value) {
    data(parent, path, H5T_STD_I64LE, H5T_NATIVE_INT64, H5S_SCALAR, 0, &value);
  }

  void real(hid_t parent, const std::string& path, double value) {
    data(parent, path, H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, H5S_SCALAR, 0, &value);
  }

  template <typename T>
  void array(hid_t parent, const std::string& path, hid_t fileType, hid_t memType,
             const std::vector<T>& values) {
    data(parent, path, fileType, memType, H5S_SIMPLE, values.size(), values.data());
  }

  // A one-dimensional dataset of `rows` entries of `fileType`, chunked and extendible, so that
  // readers may append to it.
  void table(hid_t parent, const std::string& path, hid_t fileType, hid_t memType, size_t rows,
             const void* values) {
    if (!ok) return;
    const hsize_t dims[1] = {rows}, maxDims[1] = {H5S_UNLIMITED}, chunk[1] = {256};
    Hid space(H5Screate_simple(1, dims, maxDims), H5Sclose);
    Hid props(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
    H5Pset_chunk(props, 1, chunk);
    Hid set(H5Dcreate2(parent, baseName(path).c_str(), fileType, space, H5P_DEFAULT, props,
                       H5P_DEFAULT),
            H5Dclose);
    ok = set.ok() && title(set, path) &&
         (rows == 0 || H5Dwrite(set, memType, H5S_ALL, H5S_ALL, H5P_DEFAULT, values) >= 0);
  }

  static hid_t stringType(size_t size) {
    const hid_t type = H5Tcopy(H5T_C_S1);
    H5Tset_size(type, std::max<size_t>(size, 1));
    H5Tset_strpad(type, H5T_STR_NULLPAD);
    return type;
  }

private:
  void data(hid_t parent, const std::string& path, hid_t fileType, hid_t memType,
            H5S_class_t shape, size_t size, const void* values) {
    if (!ok) return;
    const hsize_t dims[1] = {size};
    Hid space(shape == H5S_SCALAR ? H5Screate(H5S_SCALAR) : H5Screate_simple(1, dims, nullptr),
              H5Sclose);
    Hid set(H5Dcreate2(parent, baseName(path).c_str(), fileType, space, H5P_DEFAULT,
                       H5P_DEFAULT, H5P_DEFAULT),
            H5Dclose);
    ok = set.ok() && title(set, path) &&
         ((shape == H5S_SIMPLE && size == 0) ||
          H5Dwrite(set, memType, H5S_ALL, H5S_ALL, H5P_DEFAULT, values) >= 0);
  }
};

constexpr size_t kCauseSize = 128;

// A row of /user/ravik/loss_intervals.
struct LossRow {
  int32_t chain;
  int64_t fromPs;
  int64_t toPs;
  char cause[kCauseSize];
};

hid_t lossRowType(bool inFile) {
  const hid_t type = H5Tcreate(H5T_COMPOUND, inFile ? 4 + 8 + 8 + kCauseSize : sizeof(LossRow));
  Hid cause(NodeWriter::stringType(kCauseSize), H5Tclose);
  H5Tinsert(type, "chain", inFile ? 0 : offsetof(LossRow, chain),
            inFile ? H5T_STD_I32LE : H5T_NATIVE_INT32);
  H5Tinsert(type, "from_ps", inFile ? 4 : offsetof(LossRow, fromPs),
            inFile ? H5T_STD_I64LE : H5T_NATIVE_INT64);
  H5Tinsert(type, "to_ps", inFile ? 12 : offsetof(LossRow, toPs),
            inFile ? H5T_STD_I64LE : H5T_NATIVE_INT64);
  H5Tinsert(type, "cause", inFile ? 20 : offsetof(LossRow, cause), cause);
  return type;
}

constexpr const char* kFormatName = "Photon-HDF5";
constexpr const char* kFormatVersion = "0.5";

void writeIdentity(NodeWriter* w, hid_t file, const Hdf5RunInfo& info,
                   const std::string& finalPath) {
  Hid identity(w->group(file, "/identity"), H5Gclose);
  w->string(identity, "/identity/format_name", kFormatName);
  w->string(identity, "/identity/format_version", kFormatVersion);
  w->string(identity, "/identity/format_url", "http://photon-hdf5.org/");
  w->string(identity, "/identity/software", info.software);
  w->string(identity, "/identity/software_version", info.softwareVersion);
  w->string(identity, "/identity/creation_time", timeText(time(nullptr)));
  w->string(identity, "/identity/filename", baseName(finalPath));
  w->string(identity, "/identity/filename_full", fullName(finalPath));
}

// A time tagger: one spot, every output channel in use a pixel of its own, no nanotimes, no
// modulated or alternated excitation. `counts` holds the records of channel c at c + 32768.
void writeSetup(NodeWriter* w, hid_t file, const std::vector<int64_t>& counts) {
  std::vector<int16_t> ids;
  std::vector<int64_t> used;
  for (size_t i = 0; i < counts.size(); ++i) {
    if (counts[i] == 0) continue;
    ids.push_back(int16_t(int32_t(i) - 32768));
    used.push_back(counts[i]);
  }
  Hid setup(w->group(file, "/setup"), H5Gclose);
  w->integer(setup, "/setup/num_pixels", int64_t(ids.size()));
  for (const char* one : {"/setup/num_spots", "/setup/num_spectral_ch",
                          "/setup/num_polarization_ch", "/setup/num_split_ch"})
    w->integer(setup, one, 1);
  w->integer(setup, "/setup/modulated_excitation", 0);
  w->integer(setup, "/setup/lifetime", 0);
  w->array(setup, "/setup/excitation_alternated", H5T_STD_I64LE, H5T_NATIVE_INT64,
           std::vector<int64_t>{0});
  Hid detectors(w->group(setup, "/setup/detectors"), H5Gclose);
  w->array(detectors, "/setup/detectors/id", H5T_STD_I16LE, H5T_NATIVE_INT16, ids);
  w->array(detectors, "/setup/detectors/counts", H5T_STD_I64LE, H5T_NATIVE_INT64, used);
}

// The raw streams: their names and when the last of them was written.
void writeProvenance(NodeWriter* w, hid_t file, const Hdf5RunInfo& info) {
  Hid provenance(w->group(file, "/provenance"), H5Gclose);
  std::vector<std::string> names, fullNames;
  time_t modified = 0;
  for (const std::string& s : info.sources) {
    names.push_back(baseName(s));
    fullNames.push_back(fullName(s));
    struct stat st;
    if (stat(s.c_str(), &st) == 0) modified = std::max(modified, st.st_mtime);
  }
  w->string(provenance, "/provenance/filename", joined(names));
  w->string(provenance, "/provenance/filename_full", joined(fullNames));
  if (modified != 0) w->string(provenance, "/provenance/modification_time", timeText(modified));
  if (!info.sourceSoftware.empty()) {
    w->string(provenance, "/provenance/software", info.sourceSoftware);
    w->string(provenance, "/provenance/software_version", info.sourceSoftwareVersion);
  }
}

void writeUserData(NodeWriter* w, hid_t file, const Hdf5RunInfo& info) {
  Hid user(w->group(file, "/user"), H5Gclose);
  Hid ravik(w->group(user, "/user/ravik"), H5Gclose);
  w->string(ravik, "/user/ravik/report", info.report.empty() ? "{}" : info.report);
  std::vector<LossRow> rows(info.losses.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    const LossInterval& l = info.losses[i];
    rows[i] = {l.chain, l.fromPs, l.toPs, {}};
    strncpy(rows[i].cause, l.cause.c_str(), kCauseSize - 1);
  }
  Hid fileRow(lossRowType(true), H5Tclose), memRow(lossRowType(false), H5Tclose);
  w->table(ravik, "/user/ravik/loss_intervals", fileRow, memRow, rows.size(), rows.data());
}

}  // namespace

struct Hdf5Output::Impl {
  hid_t file = -1;
  hid_t timestamps = -1;
  hid_t detectors = -1;
  int64_t written = 0;  // records in the file's columns

  void close() {
    if (timestamps >= 0) H5Dclose(timestamps);
    if (detectors >= 0) H5Dclose(detectors);
    if (file >= 0) H5Fclose(file);
    timestamps = detectors = file = -1;
  }
};

Hdf5Output::Hdf5Output() : _impl(new Impl) {}

Hdf5Output::~Hdf5Output() { abandon(); }

bool Hdf5Output::create(const std::string& path, const std::string& finalPath, bool compress,
                        std::string* error) {
  // The library shall not close files again at exit: after a file's close has failed (a full
  // disk), version 1.10 crashes there. (Takes effect when called before any other HDF5 call.)
  H5dont_atexit();
  quietErrors();
  _finalPath = finalPath;
  errno = 0;
  _impl->file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
  NodeWriter w;
  w.ok = _impl->file >= 0 && w.title(_impl->file, "/");
  Hid photonData(w.group(_impl->file, "/photon_data"), H5Gclose);
  Hid unitGroup(w.group(photonData, "/photon_data/timestamps_specs"), H5Gclose);
  w.real(unitGroup, "/photon_data/timestamps_specs/timestamps_unit", 1e-12);

  const hsize_t empty[1] = {0}, unlimited[1] = {H5S_UNLIMITED}, chunk[1] = {kChunkRecords};
  Hid space(H5Screate_simple(1, empty, unlimited), H5Sclose);
  Hid props(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
  H5Pset_chunk(props, 1, chunk);
  // Every chunk is written whole (the last one up to the end of the data): no fill needed.
  H5Pset_fill_time(props, H5D_FILL_TIME_NEVER);
  if (compress) {
    H5Pset_shuffle(props);
    H5Pset_deflate(props, 1);
  }
  auto column = [&](const char* path, hid_t type) -> hid_t {
    if (!w.ok) return -1;
    const hid_t set = H5Dcreate2(photonData, baseName(path).c_str(), type, space, H5P_DEFAULT,
                                 props, H5P_DEFAULT);
    w.ok = set >= 0 && w.title(set, path);
    return set;
  };
  _impl->timestamps = column("/photon_data/timestamps", H5T_STD_I64LE);
  _impl->detectors = column("/photon_data/detectors", H5T_STD_I16LE);
  if (!w.ok) {
    *error = finalPath + ": cannot create: " + hdf5ErrorText(errno);
    abandon();
    return false;
  }
  _times.assign(size_t(kChunkRecords), 0);
  _channels.assign(size_t(kChunkRecords), 0);
  _counts.assign(65536, 0);
  return true;
}

void Hdf5Output::putRecords(const char* records, size_t count) {
  if (count == 0 || failed()) return;
  if (_records == 0) memcpy(&_first, records, 8);
  memcpy(&_last, records + 10 * (count - 1), 8);
  _records += int64_t(count);
  int64_t* counts = _counts.data() + 32768;
  while (count > 0) {
    const size_t n = std::min(count, size_t(kChunkRecords - _buffered));
    int64_t* times = _times.data() + _buffered;
    int16_t* channels = _channels.data() + _buffered;
    for (size_t i = 0; i < n; ++i, records += 10) {
      memcpy(times + i, records, 8);
      memcpy(channels + i, records + 8, 2);
      ++counts[channels[i]];
    }
    _buffered += int64_t(n);
    count -= n;
    if (_buffered == kChunkRecords && !writeColumns(kChunkRecords)) return;
  }
}

bool Hdf5Output::writeColumns(int64_t count) {
  quietErrors();  // the merge's thread has an error stack of its own
  const hsize_t start[1] = {hsize_t(_impl->written)}, size[1] = {hsize_t(count)};
  const hsize_t extent[1] = {hsize_t(_impl->written + count)};
  Hid memory(H5Screate_simple(1, size, nullptr), H5Sclose);
  errno = 0;
  for (auto [set, type, data] : {std::make_tuple(_impl->timestamps, H5T_NATIVE_INT64,
                                                 static_cast<const void*>(_times.data())),
                                 std::make_tuple(_impl->detectors, H5T_NATIVE_INT16,
                                                 static_cast<const void*>(_channels.data()))}) {
    if (H5Dset_extent(set, extent) < 0) {
      fail("write error");
      return false;
    }
    Hid space(H5Dget_space(set), H5Sclose);
    if (H5Sselect_hyperslab(space, H5S_SELECT_SET, start, nullptr, size, nullptr) < 0 ||
        H5Dwrite(set, type, memory, space, H5P_DEFAULT, data) < 0) {
      fail("write error");
      return false;
    }
  }
  _impl->written += count;
  _buffered = 0;
  return true;
}

void Hdf5Output::fail(const char* what) {
  const int code = errno;
  if (!failed()) _error = _finalPath + ": " + what + ": " + hdf5ErrorText(code);
  _failed.store(true, std::memory_order_relaxed);
}

bool Hdf5Output::finish(const Hdf5RunInfo& info, std::string* error) {
  if (!failed() && _buffered > 0) writeColumns(_buffered);
  NodeWriter w;
  w.ok = !failed();
  const hid_t file = _impl->file;
  w.string(file, "/description", info.description);
  const double span = _records > 0 ? 1e-12 * double(_last - _first) : 0;
  w.real(file, "/acquisition_duration",
         info.acquisitionSeconds >= 0 ? info.acquisitionSeconds : span);
  w.string(file, "/format_name", kFormatName);
  w.string(file, "/format_version", kFormatVersion);
  writeIdentity(&w, file, info, _finalPath);
  writeSetup(&w, file, _counts);
  if (!info.sources.empty()) writeProvenance(&w, file, info);
  writeUserData(&w, file, info);
  if (!w.ok && !failed()) fail("write error");

  errno = 0;
  const bool closed = H5Dclose(_impl->timestamps) >= 0 && H5Dclose(_impl->detectors) >= 0;
  _impl->timestamps = _impl->detectors = -1;
  if (H5Fclose(_impl->file) < 0 || !closed) fail("write error");
  _impl->file = -1;
  if (!failed()) return true;
  *error = _error;
  return false;
}

void Hdf5Output::abandon() { _impl->close(); }
