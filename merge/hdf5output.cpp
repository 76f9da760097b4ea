#include "merge/hdf5output.h"

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <hdf5.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <new>
#include <tuple>

#include "merge/bitshuffle.h"
#include "merge/outputstream.h"

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
    {"/photon_data/measurement_specs",
     "Metadata necessary for interpretation of the particular type of measurement."},
    {"/photon_data/measurement_specs/measurement_type",
     "Name of the measurement the data represents."},
    {"/photon_data/measurement_specs/detectors_specs",
     "Mapping between the pixel IDs and the detection channels."},
    // Sic: the published field list spells it so, and readers compare the text as it is.
    {"/photon_data/measurement_specs/detectors_specs/non_photon_id1",
     "Detector ids of non photon events as they apppear in /photon_data/detectors"},
    {"/photon_data/measurement_specs/detectors_specs/non_photon_id2",
     "Detector ids of non photon events as they apppear in /photon_data/detectors"},
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
    {"/setup/detectors/id_hardware",
     "Original IDs assigned by the acquisition hardware to each detector."},
    {"/setup/detectors/label", "Labels (strings) describing each detector."},
    {"/setup/detectors/module", "The module's name each pixel belongs to."},
    {"/setup/excitation_wavelengths", "List of excitation wavelengths (center wavelength if "
                                      "broad-band) in increasing order (unit: meter)."},
    {"/setup/excitation_cw",
     "For each excitation source, this field indicates whether excitation is continuous wave "
     "(CW), True (i.e. 1), or pulsed, False (i.e. 0)."},
    {"/setup/laser_repetition_rates",
     "Repetition rates in Hz for each laser. CW lasers have a value of 0."},
    {"/setup/excitation_polarizations",
     "List of polarization angles (in degrees) for each excitation source."},
    {"/setup/excitation_input_powers",
     "Excitation power in Watts for each excitation source. This is the excitation power "
     "entering the optical system."},
    {"/setup/excitation_intensity",
     "Excitation intensity in the sample for each excitation source (units: Watt/meter^2). In "
     "the case of confocal excitation this is the peak PSF intensity."},
    {"/setup/detection_wavelengths",
     "Reference wavelengths (units: meter) for each detected spectral band."},
    {"/setup/detection_polarizations",
     "Polarization angles (in degrees) for each detected polarization."},
    {"/setup/detection_split_ch_ratios",
     "Power fraction detected by each \"beam-split\" channel (i.e. independent detection "
     "channels obtained through a non-polarizing beam splitter)."},
    {"/identity", "Information about the Photon-HDF5 data file."},
    {"/identity/format_name", "Name of the file format."},
    {"/identity/author", "Author of the current data file."},
    {"/identity/author_affiliation", "Company or institution the author is affiliated with."},
    {"/identity/creator", "Creator of the current Photon-HDF5 file."},
    {"/identity/creator_affiliation",
     "Company or institution the creator is affiliated with."},
    {"/identity/url", "URL that allow to download the Photon-HDF5 data file."},
    {"/identity/doi", "Digital Object Identifier (DOI) for the Photon-HDF5 data file."},
    {"/identity/funding",
     "A description of funding sources and/or grants used to produce the data."},
    {"/identity/license", "The license under which the data is released."},
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
    {"/provenance/creation_time", "Creation time of the original data file."},
    {"/provenance/modification_time", "Time of last modification of the original data file."},
    {"/provenance/software", "Software used to save the original data file."},
    {"/provenance/software_version", "Version of the software used to save the original data "
                                     "file."},
    {"/sample", "Information about the measured sample."},
    {"/sample/num_dyes", "Number of different dyes present in the samples."},
    {"/sample/dye_names", "String containing a comma-separated list of dye or fluorophore names."},
    {"/sample/buffer_name", "A descriptive name for the buffer."},
    {"/sample/sample_name", "A descriptive name for the sample."},
    // Ravik's own nodes, in the format's place for user data.
    {"/user", "User data."},
    {"/user/ravik", "Ravik's description of the run."},
    {"/user/ravik/report", "The run report as JSON."},
    {"/user/ravik/loss_intervals",
     "Intervals in which a device's data were lost: chain position, from and to in ps, cause."},
    {"/user/ravik/sorted", "1 when /photon_data/timestamps is in time order (non-decreasing)."},
    {"/user/ravik/sources", "The raw device streams merged, in chain order."},
    {"/user/ravik/sources/filename", "File name of each stream."},
    {"/user/ravik/sources/filename_full", "File name of each stream, with its full path."},
    {"/user/ravik/sources/serial", "Serial number of the device that recorded each stream."},
    {"/user/ravik/sources/chain", "Chain position of that device (0: the master)."},
    {"/user/ravik/sources/kept", "1 when the stream was kept after the merge."},
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

// The bitshuffle filter's number, and its cd_values[4] for LZ4 after the shuffle.
constexpr H5Z_filter_t kBitshuffleFilter = 32008;
constexpr unsigned int kBitshuffleLz4 = 2;
// Elements shuffled and compressed as one: a whole chunk. Larger blocks than the plugin's own
// choice (8 KiB) give LZ4 longer runs of the slowly changing upper bits of the timestamps (at
// 6 M records/s, 3.49 bytes a record against 3.65).
constexpr int64_t kBitshuffleBlock = Hdf5Output::kChunkRecords;

// The library's plugin search path takes Debian's plugin folder last, once per process.
void addPluginFolder() {
  static std::once_flag added;
  std::call_once(added, [] { H5PLappend(kHdf5PluginFolder); });
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

// Writes the nodes of the description; each call adds its node under `parent` with its TITLE.
// The first failure is kept: `ok` stays false from then on and later calls do nothing.
class NodeWriter {
public:
  bool ok = true;

  bool title(hid_t node, const std::string& path) {
    const char* text = titleOf(path);
    return text != nullptr && attribute(node, "TITLE", text);
  }

  // A string attribute of the node.
  static bool attribute(hid_t node, const char* name, const char* text) {
    Hid type(stringType(strlen(text)), H5Tclose);
    Hid space(H5Screate(H5S_SCALAR), H5Sclose);
    Hid attr(H5Acreate2(node, name, type, space, H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
    return attr.ok() && H5Awrite(attr, type, text) >= 0;
  }

  // Readers built on PyTables take a scalar dataset for a value of Python's own (bytes, an int,
  // a float) only when it says it is one of theirs; without, they read a 0-d array.
  static bool scalarOfPython(hid_t set) {
    return attribute(set, "CLASS", "ARRAY") && attribute(set, "VERSION", "2.4") &&
           attribute(set, "FLAVOR", "python");
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

  // An array of fixed-length strings, as long as the longest.
  void strings(hid_t parent, const std::string& path, const std::vector<std::string>& values) {
    size_t size = 1;
    for (const std::string& v : values) size = std::max(size, v.size());
    std::vector<char> packed(size * values.size(), '\0');
    for (size_t i = 0; i < values.size(); ++i) memcpy(&packed[i * size], values[i].data(), values[i].size());
    Hid type(stringType(size), H5Tclose);
    data(parent, path, type, type, H5S_SIMPLE, values.size(), packed.data());
  }

  // The group at `path` under the file, made (with its TITLE) when it is not there yet.
  hid_t openGroup(hid_t file, const std::string& path) {
    if (!ok) return -1;
    if (H5Lexists(file, path.c_str(), H5P_DEFAULT) > 0) {
      const hid_t g = H5Gopen2(file, path.c_str(), H5P_DEFAULT);
      ok = g >= 0;
      return g;
    }
    const size_t slash = path.rfind('/');
    Hid parent(slash == 0 ? H5Gopen2(file, "/", H5P_DEFAULT) : openGroup(file, path.substr(0, slash)),
               H5Gclose);
    return ok ? group(parent, path) : -1;
  }

  // Replaces a node written before (the user's metadata over Ravik's own description).
  void remove(hid_t parent, const std::string& path) {
    if (ok && H5Lexists(parent, baseName(path).c_str(), H5P_DEFAULT) > 0)
      ok = H5Ldelete(parent, baseName(path).c_str(), H5P_DEFAULT) >= 0;
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
    ok = set.ok() && title(set, path) && (shape != H5S_SCALAR || scalarOfPython(set)) &&
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
  w->string(identity, "/identity/creation_time",
            info.creationTime.empty() ? hdf5TimeText(time(nullptr)) : info.creationTime);
  w->string(identity, "/identity/filename", baseName(finalPath));
  w->string(identity, "/identity/filename_full", fullName(finalPath));
}

// The output channels in use, each named, split into photon detectors and the non-photon
// channels (markers and virtual channels, loss records). `counts` holds the records of channel
// c at c + 32768.
struct ChannelTable {
  std::vector<int16_t> ids, hardware, markers, losses;
  std::vector<int64_t> counts;
  std::vector<std::string> labels, modules;
  int64_t photonChannels = 0;

  // `all`: the records of each channel that has any.
  ChannelTable(const std::map<int16_t, int64_t>& all, const std::vector<Hdf5Source>& sources,
               const std::map<int16_t, std::string>& virtualLabels) {
    for (const auto& [id, count] : all) {
      ChannelName name = nameChannel(id, sources);
      const auto v = virtualLabels.find(id);
      if (v != virtualLabels.end()) {
        // A virtual channel repeats or combines other channels' records: no pixel of its own.
        name.kind = ChannelName::Marker;
        name.label = v->second;
        name.module = "virtual";
        name.hardware = -1;
      }
      ids.push_back(id);
      counts.push_back(count);
      hardware.push_back(name.hardware);
      labels.push_back(name.label);
      modules.push_back(name.module);
      if (name.kind == ChannelName::Photon) ++photonChannels;
      if (name.kind == ChannelName::Marker) markers.push_back(id);
      if (name.kind == ChannelName::Loss) losses.push_back(id);
    }
  }
};

// The excitation sources of the experiment: as many as the longest list of the user's metadata
// about them gives, else one.
size_t excitationSources(const std::vector<Hdf5MetaField>& meta) {
  size_t n = 1;
  for (const Hdf5MetaField& field : meta)
    if (field.path.rfind("/setup/excitation_", 0) == 0 ||
        field.path == "/setup/laser_repetition_rates")
      n = std::max(n, std::max(field.reals.size(), field.integers.size()));
  return n;
}

// A time tagger: one spot, every output channel in use a pixel of its own, no nanotimes, no
// modulated or alternated excitation. Markers and loss records are listed as detectors too, so
// that every value of /photon_data/detectors has a label, but they are no pixels. Ravik cannot
// know the excitation: each source counts as continuous (no pulses to time against, as there are
// no nanotimes) unless the user's metadata says otherwise.
void writeSetup(NodeWriter* w, hid_t file, const ChannelTable& table,
                const std::vector<Hdf5MetaField>& meta) {
  Hid setup(w->group(file, "/setup"), H5Gclose);
  w->integer(setup, "/setup/num_pixels", table.photonChannels);
  for (const char* one : {"/setup/num_spots", "/setup/num_spectral_ch",
                          "/setup/num_polarization_ch", "/setup/num_split_ch"})
    w->integer(setup, one, 1);
  w->integer(setup, "/setup/modulated_excitation", 0);
  w->integer(setup, "/setup/lifetime", 0);
  const size_t sources = excitationSources(meta);
  w->array(setup, "/setup/excitation_alternated", H5T_STD_I64LE, H5T_NATIVE_INT64,
           std::vector<int64_t>(sources, 0));
  w->array(setup, "/setup/excitation_cw", H5T_STD_I64LE, H5T_NATIVE_INT64,
           std::vector<int64_t>(sources, 1));
  Hid detectors(w->group(setup, "/setup/detectors"), H5Gclose);
  w->array(detectors, "/setup/detectors/id", H5T_STD_I16LE, H5T_NATIVE_INT16, table.ids);
  w->array(detectors, "/setup/detectors/id_hardware", H5T_STD_I16LE, H5T_NATIVE_INT16,
           table.hardware);
  w->strings(detectors, "/setup/detectors/label", table.labels);
  w->strings(detectors, "/setup/detectors/module", table.modules);
  w->array(detectors, "/setup/detectors/counts", H5T_STD_I64LE, H5T_NATIVE_INT64, table.counts);
}

// Which channels are no photons: markers (non_photon_id1) and loss records (non_photon_id2).
void writeMeasurementGroup(NodeWriter* w, hid_t file, const ChannelTable& table) {
  Hid photonData(w->openGroup(file, "/photon_data"), H5Gclose);
  Hid measurementGroup(w->group(photonData, "/photon_data/measurement_specs"), H5Gclose);
  w->string(measurementGroup, "/photon_data/measurement_specs/measurement_type", "generic");
  const std::string detectorsGroup = "/photon_data/measurement_specs/detectors_specs";
  Hid detectors(w->group(measurementGroup, detectorsGroup), H5Gclose);
  w->array(detectors, detectorsGroup + "/non_photon_id1", H5T_STD_I16LE, H5T_NATIVE_INT16,
           table.markers);
  w->array(detectors, detectorsGroup + "/non_photon_id2", H5T_STD_I16LE, H5T_NATIVE_INT16,
           table.losses);
}

// What recorded the raw streams and when. The streams themselves, several and often deleted
// after the merge, are listed in /user/ravik/sources.
void writeProvenance(NodeWriter* w, hid_t file, const Hdf5RunInfo& info) {
  Hid provenance(w->group(file, "/provenance"), H5Gclose);
  time_t modified = 0;
  for (const Hdf5Source& s : info.sources) {
    struct stat st;
    if (stat(s.path.c_str(), &st) == 0) modified = std::max(modified, st.st_mtime);
  }
  if (!info.recordingStart.empty())
    w->string(provenance, "/provenance/creation_time", info.recordingStart);
  if (modified != 0)
    w->string(provenance, "/provenance/modification_time", hdf5TimeText(modified));
  if (!info.sourceSoftware.empty()) {
    w->string(provenance, "/provenance/software", info.sourceSoftware);
    if (!info.sourceSoftwareVersion.empty())
      w->string(provenance, "/provenance/software_version", info.sourceSoftwareVersion);
  }
}

void writeSources(NodeWriter* w, hid_t ravik, const std::vector<Hdf5Source>& sources) {
  std::vector<std::string> names, fullNames, serials;
  std::vector<int32_t> chains, kept;
  for (const Hdf5Source& s : sources) {
    names.push_back(baseName(s.path));
    fullNames.push_back(fullName(s.path));
    serials.push_back(s.serial);
    chains.push_back(s.chain);
    kept.push_back(s.kept ? 1 : 0);
  }
  const std::string at = "/user/ravik/sources";
  Hid group(w->group(ravik, at), H5Gclose);
  w->strings(group, at + "/filename", names);
  w->strings(group, at + "/filename_full", fullNames);
  w->strings(group, at + "/serial", serials);
  w->array(group, at + "/chain", H5T_STD_I32LE, H5T_NATIVE_INT32, chains);
  w->array(group, at + "/kept", H5T_STD_I32LE, H5T_NATIVE_INT32, kept);
}

void writeUserData(NodeWriter* w, hid_t file, const Hdf5RunInfo& info, bool sorted) {
  Hid user(w->group(file, "/user"), H5Gclose);
  Hid ravik(w->group(user, "/user/ravik"), H5Gclose);
  w->string(ravik, "/user/ravik/report", info.report.empty() ? "{}" : info.report);
  w->integer(ravik, "/user/ravik/sorted", sorted ? 1 : 0);
  std::vector<LossRow> rows(info.losses.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    const LossInterval& l = info.losses[i];
    rows[i] = {l.chain, l.fromPs, l.toPs, {}};
    strncpy(rows[i].cause, l.cause.c_str(), kCauseSize - 1);
  }
  Hid fileRow(lossRowType(true), H5Tclose), memRow(lossRowType(false), H5Tclose);
  w->table(ravik, "/user/ravik/loss_intervals", fileRow, memRow, rows.size(), rows.data());
  if (!info.sources.empty()) writeSources(w, ravik, info.sources);
}

// The user's metadata, each field in its group (made when Ravik writes nothing there), in place
// of what Ravik wrote there.
void writeMeta(NodeWriter* w, hid_t file, const std::vector<Hdf5MetaField>& meta) {
  for (const Hdf5MetaField& field : meta) {
    const size_t slash = field.path.rfind('/');
    Hid parent(slash == 0 ? H5Gopen2(file, "/", H5P_DEFAULT)
                          : w->openGroup(file, field.path.substr(0, slash)),
               H5Gclose);
    w->remove(parent, field.path);
    switch (field.kind) {
      case Hdf5MetaField::Text: w->string(parent, field.path, field.text); break;
      case Hdf5MetaField::Integer:
        w->integer(parent, field.path, field.integers.empty() ? 0 : field.integers[0]);
        break;
      case Hdf5MetaField::Reals:
        w->array(parent, field.path, H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, field.reals);
        break;
      case Hdf5MetaField::Integers:
        w->array(parent, field.path, H5T_STD_I64LE, H5T_NATIVE_INT64, field.integers);
        break;
    }
  }
}

// "TK24072" or, when the serial is not known, the chain position.
std::string deviceName(int32_t chain, const std::vector<Hdf5Source>& sources) {
  std::string name;
  for (const Hdf5Source& s : sources)
    if (s.chain == chain && !s.serial.empty()) name += (name.empty() ? "" : "+") + s.serial;
  return name.empty() ? "chain " + std::to_string(chain) : name;
}

bool fiveChannelAt(int32_t chain, const std::vector<Hdf5Source>& sources) {
  return std::any_of(sources.begin(), sources.end(),
                     [chain](const Hdf5Source& s) { return s.chain == chain && s.fiveChannel; });
}

bool anyAt(int32_t chain, const std::vector<Hdf5Source>& sources) {
  return std::any_of(sources.begin(), sources.end(),
                     [chain](const Hdf5Source& s) { return s.chain == chain; });
}

// Rounded towards minus infinity, as chain positions below 0 give negative channels.
int32_t floorDiv(int32_t a, int32_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

}  // namespace

#ifndef RAVIK_HDF5_PLUGIN_FOLDER
#define RAVIK_HDF5_PLUGIN_FOLDER "/usr/lib/x86_64-linux-gnu/hdf5/serial/plugins"
#endif
const char* const kHdf5PluginFolder = RAVIK_HDF5_PLUGIN_FOLDER;

const char* compressionWord(Hdf5Compression compression) {
  switch (compression) {
    case Hdf5Compression::Deflate: return "deflate";
    case Hdf5Compression::Fast: return "fast";
    case Hdf5Compression::None: break;
  }
  return "none";
}

bool compressionFromWord(const std::string& word, Hdf5Compression* compression) {
  for (const Hdf5Compression c :
       {Hdf5Compression::None, Hdf5Compression::Deflate, Hdf5Compression::Fast}) {
    if (word != compressionWord(c)) continue;
    *compression = c;
    return true;
  }
  return false;
}

bool hdf5CanCompress(Hdf5Compression compression, std::string* error) {
  if (compression != Hdf5Compression::Fast) return true;
  H5dont_atexit();  // see create()
  quietErrors();
  addPluginFolder();
  // Asking for the filter loads its plugin, found through the search path.
  unsigned int flags = 0;
  if (H5Zfilter_avail(kBitshuffleFilter) > 0 &&
      H5Zget_filter_info(kBitshuffleFilter, &flags) >= 0 &&
      (flags & H5Z_FILTER_CONFIG_ENCODE_ENABLED) != 0)
    return true;
  *error = std::string("the HDF5 filter bitshuffle with LZ4 (32008) for compression \"fast\" "
                       "cannot be loaded: install the Debian package bitshuffle (its plugin "
                       "goes to ") + kHdf5PluginFolder + ")";
  return false;
}

std::string hdf5TimeText(time_t t) {
  struct tm local;
  char text[32];
  localtime_r(&t, &local);
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::string utcOffsetText(time_t t) {
  struct tm local;
  localtime_r(&t, &local);
  const long offset = local.tm_gmtoff;
  const long minutes = (offset < 0 ? -offset : offset) / 60;
  char text[40];
  snprintf(text, sizeof text, "%c%02ld:%02ld", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
  return text;
}

// The merge numbers channel c of the device at chain position p as 5p + c: inputs 0 to 5,
// markers 100 to 104 (0up to 3up, the ms tick) and 200 to 203 (0dn to 3dn); the loss records
// of position p are -(2p + 1) at a loss's start and -(2p + 2) at its end. A device in
// five-channel mode has no input 0, so 5p + 5 is its input 5, not input 0 of position p + 1.
ChannelName nameChannel(int16_t channel, const std::vector<Hdf5Source>& sources) {
  ChannelName name;
  int32_t chain = 0;
  std::string what;
  if (channel < 0) {
    chain = (-channel - 1) / 2;
    name.kind = ChannelName::Loss;
    what = -channel % 2 == 1 ? "loss start" : "loss end";
  } else if (channel >= 100) {
    const int32_t base = channel >= 200 ? 200 : 100;
    chain = floorDiv(channel - base, 5);
    const int32_t marker = channel - base - 5 * chain;
    name.kind = ChannelName::Marker;
    name.hardware = int16_t(base + marker);
    what = base == 100 && marker == 4 ? "marker ms tick"
                                      : "marker " + std::to_string(marker) +
                                            (base == 100 ? "up" : "dn");
  } else {
    chain = channel / 5;
    int32_t input = channel % 5;
    if (input == 0 && chain > 0 && fiveChannelAt(chain - 1, sources) &&
        !(anyAt(chain, sources) && !fiveChannelAt(chain, sources))) {
      --chain;
      input = 5;
    }
    name.hardware = int16_t(input);
    what = "input " + std::to_string(input);
  }
  name.module = deviceName(chain, sources);
  name.label = name.module + " " + what;
  return name;
}

struct Hdf5Output::Impl {
  hid_t file = -1;
  hid_t timestamps = -1;
  hid_t detectors = -1;
  int64_t written = 0;  // records in the file's columns
  int64_t extent = 0;   // their extent: more than `written` while a batch is taken back
  bool filtered = false;  // the columns pass through filters
  bool fast = false;      // ... bitshuffle and LZ4, whose whole chunks are encoded here
  BitshuffleLz4 encoder;
  // The file's descriptor where the library's driver gives it (-1: none), for its write-behind;
  // the columns' chunks go to the file's end as it grows.
  int fd = -1;
  WriteBehind behind;
  std::string path;       // the file as created
  bool holdable = false;  // written in the library's single-writer mode (see create())
  // Of a holdable output, where each final chunk of the two columns is stored (noteChunks()).
  struct StoredChunk {
    uint64_t address, bytes;
    uint32_t filters, unused;
  };
  std::vector<StoredChunk> chunks[2];

  void close() {
    if (timestamps >= 0) H5Dclose(timestamps);
    if (detectors >= 0) H5Dclose(detectors);
    if (file >= 0) H5Fclose(file);
    timestamps = detectors = file = -1;
  }
};

Hdf5Output::Hdf5Output() : _impl(new Impl) {}

Hdf5Output::~Hdf5Output() { abandon(); }

namespace {

// File access in the library's latest format, which its single-writer mode needs.
hid_t latestFormat() {
  const hid_t access = H5Pcreate(H5P_FILE_ACCESS);
  H5Pset_libver_bounds(access, H5F_LIBVER_LATEST, H5F_LIBVER_LATEST);
  return access;
}

}  // namespace

bool Hdf5Output::create(const std::string& path, const std::string& finalPath,
                        Hdf5Compression compression, std::string* error, bool holdable) {
  // The library shall not close files again at exit: after a file's close has failed (a full
  // disk), version 1.10 crashes there. (Takes effect when called before any other HDF5 call.)
  H5dont_atexit();
  quietErrors();
  _finalPath = finalPath;
  if (!hdf5CanCompress(compression, error)) {
    *error = finalPath + ": " + *error;
    return false;
  }
  errno = 0;
  _impl->path = path;
  _impl->holdable = holdable;
  {
    Hid access(holdable ? latestFormat() : H5Pcreate(H5P_FILE_ACCESS), H5Pclose);
    _impl->file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, access);
  }
  // The default driver writes through one descriptor of its own.
  void* handle = nullptr;
  if (_impl->file >= 0 && H5Fget_vfd_handle(_impl->file, H5P_DEFAULT, &handle) >= 0 && handle)
    _impl->fd = *static_cast<int*>(handle);
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
  _impl->filtered = compression != Hdf5Compression::None;
  _impl->fast = compression == Hdf5Compression::Fast;
  if (compression == Hdf5Compression::Deflate) {
    H5Pset_shuffle(props);
    H5Pset_deflate(props, 1);
  } else if (compression == Hdf5Compression::Fast) {
    // The block of elements shuffled and compressed as one, and LZ4; the plugin puts its
    // version and the element size before them in the file.
    const unsigned int values[2] = {unsigned(kBitshuffleBlock), kBitshuffleLz4};
    H5Pset_filter(props, kBitshuffleFilter, H5Z_FLAG_MANDATORY, 2, values);
  }
  // Each chunk is written once and whole: passing it by the chunk cache would only copy it.
  Hid access(H5Pcreate(H5P_DATASET_ACCESS), H5Pclose);
  H5Pset_chunk_cache(access, H5D_CHUNK_CACHE_NSLOTS_DEFAULT, 0, 1.0);
  auto column = [&](const char* path, hid_t type) -> hid_t {
    if (!w.ok) return -1;
    const hid_t set = H5Dcreate2(photonData, baseName(path).c_str(), type, space, H5P_DEFAULT,
                                 props, access);
    w.ok = set >= 0 && w.title(set, path);
    return set;
  };
  _impl->timestamps = column("/photon_data/timestamps", H5T_STD_I64LE);
  _impl->detectors = column("/photon_data/detectors", H5T_STD_I16LE);
  // From here on the columns only grow: all that the single-writer mode allows.
  if (w.ok && holdable) w.ok = H5Fstart_swmr_write(_impl->file) >= 0;
  if (!w.ok) {
    *error = finalPath + ": cannot create: " + hdf5ErrorText(errno);
    abandon();
    return false;
  }
  return true;
}

// The ring, made the first time records pass through it. Not cleared beyond what the memory
// comes as: only what the records fill is ever written. False when there is no memory for it:
// the file is given up.
bool Hdf5Output::haveRing() {
  if (_times != nullptr) return true;
  try {
    _memory = HugeBuffer(size_t(kBufferRecords) * (sizeof(int64_t) + sizeof(int16_t)));
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    fail("out of memory");
    return false;
  }
  _times = reinterpret_cast<int64_t*>(_memory.data());
  _channels = reinterpret_cast<int16_t*>(_times + kBufferRecords);
  return true;
}

// The count tables, made the first time they are needed; null when there is no memory for them.
int64_t* Hdf5Output::countTables() {
  if (!_counts) _counts.reset(static_cast<int64_t*>(calloc(kCountTables * 65536, sizeof(int64_t))));
  return _counts.get();
}

// The records of each channel that has any, however they were counted.
std::map<int16_t, int64_t> Hdf5Output::channelCounts() const {
  std::map<int16_t, int64_t> all = _handedCounts;
  for (size_t i = 0; _counts && i < kCountTables * 65536; ++i)
    if (const int64_t n = _counts.get()[i]) all[int16_t(int32_t(i % 65536) - 32768)] += n;
  return all;
}

namespace {

// One record of takeInOrder(): its time already read, its channel at `channelAt`.
inline void takeOne(const char* channelAt, int64_t time, int64_t* __restrict timeTo,
                    int16_t* __restrict channelTo, int64_t* __restrict counts) {
  int16_t channel;
  memcpy(&channel, channelAt, 2);
  *timeTo = time;
  *channelTo = channel;
  ++counts[channel];
}

// Takes records into the columns from `times` and `channels` on while they are in time order,
// none earlier than *last, and counts their channels; returns how many were taken (fewer than
// `count` when the next one is earlier than the one before it). The common case, as only
// markers ever come early. Four records a step, counted in two tables: the merge often gives
// one channel several times in a row, and adds to one counter one after another would each wait
// for the one before. (Not vectorised: the compiler would pass the times through the stack and
// the channels through vector registers and back for the counts, which costs more than it
// saves.)
__attribute__((optimize("no-tree-slp-vectorize"))) size_t takeInOrder(
    const char* records, size_t count, int64_t* __restrict times, int16_t* __restrict channels,
    int64_t* last, int64_t* __restrict countsA, int64_t* __restrict countsB) {
  int64_t before = *last;
  size_t i = 0;
  for (; i + 4 <= count; i += 4, records += 40) {
    int64_t t[4];
    memcpy(&t[0], records, 8);
    memcpy(&t[1], records + 10, 8);
    memcpy(&t[2], records + 20, 8);
    memcpy(&t[3], records + 30, 8);
    if (t[0] < before || t[1] < t[0] || t[2] < t[1] || t[3] < t[2]) break;  // one by one below
    takeOne(records + 8, t[0], times + i, channels + i, countsA);
    takeOne(records + 18, t[1], times + i + 1, channels + i + 1, countsB);
    takeOne(records + 28, t[2], times + i + 2, channels + i + 2, countsA);
    takeOne(records + 38, t[3], times + i + 3, channels + i + 3, countsB);
    before = t[3];
  }
  for (; i < count; ++i, records += 10) {
    int64_t time;
    int16_t channel;
    memcpy(&time, records, 8);
    if (time < before) break;
    memcpy(&channel, records + 8, 2);
    times[i] = time;
    channels[i] = channel;
    ++countsA[channel];
    before = time;
  }
  *last = before;
  return i;
}

}  // namespace

void Hdf5Output::putRecords(const char* records, size_t count) {
  if (count == 0 || failed() || !haveRing()) return;
  int64_t* const tables = countTables();
  if (tables == nullptr) {
    errno = ENOMEM;
    fail("out of memory");
    return;
  }
  if (_records == 0) memcpy(&_first, records, 8);
  _records += int64_t(count);
  int64_t* countsA = tables + 32768;
  int64_t* countsB = countsA + 65536;
  while (count > 0) {
    // As many as fit before the ring's end or its first record, whichever comes first.
    const int64_t end = at(_buffered);
    const size_t room = std::min({count, size_t(kBufferRecords - _buffered),
                                  size_t(kBufferRecords - end)});
    size_t taken = takeInOrder(records, room, _times + end, _channels + end,
                               &_lastPut, countsA, countsB);
    _buffered += int64_t(taken);
    if (taken < room) {  // an early record: to its place among those held back
      int64_t time;
      int16_t channel;
      memcpy(&time, records + 10 * taken, 8);
      memcpy(&channel, records + 10 * taken + 8, 2);
      ++countsA[channel];
      insert(time, channel);
      ++taken;
    }
    records += 10 * taken;
    count -= taken;
    if (!writeChunks(true)) return;
  }
  writeChunks(false);
}

// Writes the whole chunks of the ring before the last kReorderRecords records, which are kept
// back for records that come late: when the ring is full (`full`), or else every one there is, so
// that each batch costs about the same (the merge hands batches over one at a time, and would
// wait for one that also wrote the ring). False after a failed write: the records are dropped,
// the file is given up.
bool Hdf5Output::writeChunks(bool full) {
  const int64_t ready = full ? (_buffered == kBufferRecords ? kBufferRecords - kReorderRecords : 0)
                             : (_buffered - kReorderRecords) / kChunkRecords * kChunkRecords;
  if (ready <= 0 || writeColumns(ready)) return true;
  _buffered = 0;
  return false;
}

void Hdf5Output::putColumns(const int64_t* times, const int16_t* channels, size_t count,
                            bool ordered) {
  if (failed() || count == 0) {  // count 0: the end of the batches; the last one is written
    _takeBack = 0;
    return;
  }
  _columnsUncounted = true;
  if (_records == 0) _first = times[0];
  _records += int64_t(count);
  const bool inOrder = ordered && times[0] >= _lastPut;
  if (inOrder && int64_t(count) == kChunkRecords && _buffered % kChunkRecords == 0) {
    // Nothing of this batch goes before what was taken: all that is, in whole chunks, is final,
    // and the batch goes to the file at once, while the processor's cache still holds it.
    if (_buffered > 0 && !writeColumns(_buffered)) {
      _buffered = _takeBack = 0;
      return;
    }
    _lastWrittenBefore = _lastWritten;
    if (!writeRun(times, channels, int64_t(count))) {
      _takeBack = 0;
      return;
    }
    _takeBackTimes = times;
    _takeBackChannels = channels;
    _takeBack = int64_t(count);
    _lastPut = times[count - 1];
    return;
  }
  if (!haveRing()) {
    _takeBack = 0;
    return;
  }
  if (_takeBack > 0 && !inOrder) {
    // A record of this batch may belong before records of the batch before, which went to the
    // file at once: that batch comes back into the ring (then empty), where records can be
    // inserted, and its chunk will be written again in its place.
    for (int64_t done = 0; done < _takeBack;) {
      const int64_t to = at(done), n = std::min(_takeBack - done, kBufferRecords - to);
      memcpy(_times + to, _takeBackTimes + done, size_t(n) * sizeof *_times);
      memcpy(_channels + to, _takeBackChannels + done, size_t(n) * sizeof *_channels);
      done += n;
    }
    _buffered = _takeBack;
    _impl->written -= _takeBack;
    _lastWritten = _lastWrittenBefore;
  }
  _takeBack = 0;
  takeColumns(times, channels, count);
}

void Hdf5Output::putChannelCounts(const std::map<int16_t, int64_t>& counts) {
  if (!_columnsUncounted) return;
  for (const auto& [channel, count] : counts) _handedCounts[channel] += count;
  _columnsUncounted = false;
}

// Counts the channels of the file's detectors column, read back a piece at a time: for columns
// whose counts the merge did not hand over (it stopped before the end).
bool Hdf5Output::countWrittenChannels() {
  int64_t* const counts = countTables();
  if (counts == nullptr) {
    errno = ENOMEM;
    return false;
  }
  constexpr int64_t kPiece = kChunkRecords * 16;
  std::vector<int16_t> piece(size_t(std::min(kPiece, std::max<int64_t>(_impl->written, 1))));
  for (int64_t from = 0; from < _impl->written; from += kPiece) {
    const hsize_t start[1] = {hsize_t(from)},
                  length[1] = {hsize_t(std::min(kPiece, _impl->written - from))};
    Hid memory(H5Screate_simple(1, length, nullptr), H5Sclose);
    Hid space(H5Dget_space(_impl->detectors), H5Sclose);
    if (H5Sselect_hyperslab(space, H5S_SELECT_SET, start, nullptr, length, nullptr) < 0 ||
        H5Dread(_impl->detectors, H5T_NATIVE_INT16, memory, space, H5P_DEFAULT, piece.data()) < 0)
      return false;
    for (hsize_t i = 0; i < length[0]; ++i) ++counts[32768 + piece[i]];
  }
  _columnsUncounted = false;
  return true;
}

// putRecords() for columns, without counting their channels.
void Hdf5Output::takeColumns(const int64_t* times, const int16_t* channels, size_t count) {
  while (count > 0) {
    const int64_t end = at(_buffered);
    const size_t room = std::min({count, size_t(kBufferRecords - _buffered),
                                  size_t(kBufferRecords - end)});
    size_t taken = 0;
    for (int64_t before = _lastPut; taken < room && times[taken] >= before; ++taken)
      before = times[taken];
    if (taken > 0) {
      memcpy(_times + end, times, taken * sizeof *_times);
      memcpy(_channels + end, channels, taken * sizeof *_channels);
      _lastPut = times[taken - 1];
      _buffered += int64_t(taken);
    }
    if (taken < room) {  // an early record: to its place among those held back
      insert(times[taken], channels[taken]);
      ++taken;
    }
    times += taken;
    channels += taken;
    count -= taken;
    if (!writeChunks(true)) return;
  }
  writeChunks(false);
}

// The records held back are in time order; a record goes after those of its time.
void Hdf5Output::insert(int64_t time, int16_t channel) {
  _first = std::min(_first, time);
  int64_t* times = _times;
  int16_t* channels = _channels;
  int64_t low = 0, high = _buffered;  // the first record later than `time`, by halves
  while (low < high) {
    const int64_t middle = low + (high - low) / 2;
    if (times[at(middle)] <= time) low = middle + 1;
    else high = middle;
  }
  if (low == 0 && time < _lastWritten) ++_outOfOrder;
  // Those from `low` on move up by one, in pieces that wrap round the ring neither where they
  // are nor where they go.
  for (int64_t i = _buffered; i > low;) {
    const int64_t to = at(i), from = at(i - 1);
    const int64_t n = std::min({i - low, from + 1, to + 1});
    memmove(times + to + 1 - n, times + from + 1 - n, size_t(n) * sizeof *times);
    memmove(channels + to + 1 - n, channels + from + 1 - n, size_t(n) * sizeof *channels);
    i -= n;
  }
  times[at(low)] = time;
  channels[at(low)] = channel;
  ++_buffered;
}

bool Hdf5Output::writeColumns(int64_t count) {
  // The records from the ring's first on: in one piece or, where they wrap round its end, two.
  for (int64_t done = 0; done < count;) {
    const int64_t from = at(done), n = std::min(count - done, kBufferRecords - from);
    if (!writeRun(_times + from, _channels + from, n)) return false;
    done += n;
  }
  // What is kept back is now the ring's front.
  _head = at(count);
  _buffered -= count;
  return true;
}

// Appends `count` records to the file's columns, straight from memory (memory and file types
// are the same). A whole chunk at a chunk's place goes to the file as it is stored, past the
// library's selections, conversions and filters: without filters, a chunk's bytes in the file
// are its values; with bitshuffle and LZ4, they are encoded here into buffers that are reused.
bool Hdf5Output::writeRun(const int64_t* times, const int16_t* channels, int64_t count) {
  quietErrors();  // the calling thread (the merge's) has an error stack of its own
  const hsize_t extent[1] = {hsize_t(_impl->written + count)};
  const hsize_t start[1] = {hsize_t(_impl->written)}, length[1] = {hsize_t(count)};
  const bool whole = (!_impl->filtered || _impl->fast) && count == kChunkRecords &&
                     _impl->written % kChunkRecords == 0;
  errno = 0;
  for (auto [set, type, data, size] :
       {std::make_tuple(_impl->timestamps, H5T_NATIVE_INT64, static_cast<const void*>(times),
                        sizeof *times),
        std::make_tuple(_impl->detectors, H5T_NATIVE_INT16, static_cast<const void*>(channels),
                        sizeof *channels)}) {
    if (int64_t(extent[0]) > _impl->extent && H5Dset_extent(set, extent) < 0) {
      fail("write error");
      return false;
    }
    if (whole) {
      size_t bytes = size_t(count) * size;
      if (_impl->fast) data = _impl->encoder.encode(data, size_t(count), size,
                                                    size_t(kBitshuffleBlock), &bytes);
      if (data == nullptr || H5Dwrite_chunk(set, H5P_DEFAULT, 0, start, bytes, data) < 0) {
        fail("write error");
        return false;
      }
      continue;
    }
    Hid memory(H5Screate_simple(1, length, nullptr), H5Sclose);
    Hid space(H5Dget_space(set), H5Sclose);
    if (H5Sselect_hyperslab(space, H5S_SELECT_SET, start, nullptr, length, nullptr) < 0 ||
        H5Dwrite(set, type, memory, space, H5P_DEFAULT, data) < 0) {
      fail("write error");
      return false;
    }
  }
  _impl->written += count;
  _impl->extent = std::max(_impl->extent, _impl->written);
  _lastWritten = times[count - 1];
  struct stat st;
  if (_impl->fd >= 0 && fstat(_impl->fd, &st) == 0) _impl->behind.advance(_impl->fd, st.st_size);
  return true;
}

void Hdf5Output::fail(const char* what) {
  const int code = errno;
  if (!failed()) _error = _finalPath + ": " + what + ": " + hdf5ErrorText(code);
  _failed.store(true, std::memory_order_relaxed);
}

bool Hdf5Output::finish(const Hdf5RunInfo& info, std::string* error) {
  putColumns(nullptr, nullptr, 0, true);  // no batch can be taken back (the merge ends them so)
  if (!failed() && _buffered > 0) writeColumns(_buffered);
  errno = 0;
  if (!failed() && _recount) {
    // The channels of the records copied from the held file were counted by the writer killed.
    _handedCounts.clear();
    if (_counts) memset(_counts.get(), 0, kCountTables * 65536 * sizeof(int64_t));
    _columnsUncounted = true;
  }
  if (!failed() && _columnsUncounted && !countWrittenChannels()) fail("read error");
  if (!failed() && _impl->holdable && !reopen()) fail("write error");
  NodeWriter w;
  w.ok = !failed();
  const hid_t file = _impl->file;
  w.string(file, "/description", info.description);
  const double span = _records > 0 ? 1e-12 * double(_lastPut - _first) : 0;
  w.real(file, "/acquisition_duration", std::max(info.acquisitionSeconds, span));
  w.string(file, "/format_name", kFormatName);
  w.string(file, "/format_version", kFormatVersion);
  writeIdentity(&w, file, info, _finalPath);
  const ChannelTable channels(channelCounts(), info.sources, info.virtualLabels);
  writeSetup(&w, file, channels, info.meta);
  writeMeasurementGroup(&w, file, channels);
  if (!info.sources.empty()) writeProvenance(&w, file, info);
  writeUserData(&w, file, info, _outOfOrder == 0);
  writeMeta(&w, file, info.meta);
  if (!w.ok && !failed()) fail("write error");

  errno = 0;
  bool closed = _impl->timestamps < 0 || H5Dclose(_impl->timestamps) >= 0;
  closed = (_impl->detectors < 0 || H5Dclose(_impl->detectors) >= 0) && closed;
  _impl->timestamps = _impl->detectors = -1;
  if (H5Fclose(_impl->file) < 0 || !closed) fail("write error");
  _impl->file = -1;
  if (!failed()) return true;
  *error = _error;
  return false;
}

void Hdf5Output::abandon() { _impl->close(); }

// The single-writer mode creates no nodes: the file is opened again in the ordinary mode for the
// description of the run.
bool Hdf5Output::reopen() {
  bool closed = H5Dclose(_impl->timestamps) >= 0;
  closed = H5Dclose(_impl->detectors) >= 0 && closed;
  _impl->timestamps = _impl->detectors = -1;
  closed = H5Fclose(_impl->file) >= 0 && closed;
  Hid access(latestFormat(), H5Pclose);
  _impl->file = closed ? H5Fopen(_impl->path.c_str(), H5F_ACC_RDWR, access) : -1;
  return _impl->file >= 0;
}

namespace {

// What a held output's state file begins with; then the fields of HeldState, then the records
// not yet final, their times and then their channels.
constexpr char kHeldMagic[8] = {'R', 'A', 'V', 'H', 'E', 'L', 'D', '2'};

struct HeldState {
  int64_t records, first, lastPut, lastWritten, outOfOrder;
  int64_t final;    // records in the file's columns that no later record changes
  int64_t pending;  // records after them, not yet final
  uint64_t filters;  // the columns' filters (filterMark())
};

// The filters of a column's chunks, in their order, as one number (0: none; -1: unknown).
uint64_t filterMark(hid_t column) {
  Hid props(H5Dget_create_plist(column), H5Pclose);
  const int n = props.ok() ? H5Pget_nfilters(props) : -1;
  if (n < 0 || n > 3) return ~uint64_t(0);
  uint64_t mark = uint64_t(n);
  for (int k = 0; k < n; ++k) {
    unsigned int flags = 0;
    size_t values = 0;  // their values are not asked for
    const H5Z_filter_t id = H5Pget_filter2(props, unsigned(k), &flags, &values, nullptr, 0,
                                           nullptr, nullptr);
    mark = mark << 16 | uint64_t(id & 0xFFFF);
  }
  return mark;
}

}  // namespace

bool Hdf5Output::hold(const std::string& statePath, std::string* error) {
  quietErrors();
  if (!_impl->holdable || failed()) {
    *error = failed() ? _error : _finalPath + ": cannot be held: not written to be";
    return false;
  }
  errno = 0;
  if (H5Fflush(_impl->file, H5F_SCOPE_LOCAL) < 0 || (_impl->fd >= 0 && fsync(_impl->fd) != 0)) {
    fail("write error");
    *error = _error;
    return false;
  }
  // A batch that the next may take back is not final: it stands for records kept back, and the
  // ring is empty meanwhile. Its memory stays valid until the next batch (see putColumns()).
  std::vector<int64_t> times(_takeBackTimes, _takeBackTimes + _takeBack);
  std::vector<int16_t> channels(_takeBackChannels, _takeBackChannels + _takeBack);
  for (int64_t i = 0; i < _buffered; ++i) {
    times.push_back(_times[at(i)]);
    channels.push_back(_channels[at(i)]);
  }
  const int64_t lastWritten = _takeBack > 0 ? _lastWrittenBefore : _lastWritten;
  const int64_t final = _impl->written - _takeBack;
  if (!noteChunks(final)) {
    *error = statePath + ": the HDF5 output's hold cannot be written: its chunks cannot be found";
    return false;
  }
  const HeldState state{_records,     _first,     _lastPut,
                        lastWritten,  _outOfOrder, final,
                        int64_t(times.size()), filterMark(_impl->timestamps)};
  const int fd = open(statePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool ok = fd >= 0 && writeAll(fd, kHeldMagic, sizeof kHeldMagic) &&
            writeAll(fd, &state, sizeof state) &&
            writeAll(fd, times.data(), times.size() * sizeof times[0]) &&
            writeAll(fd, channels.data(), channels.size() * sizeof channels[0]);
  for (const auto& column : _impl->chunks)
    ok = ok && writeAll(fd, column.data(), column.size() * sizeof column[0]);
  ok = ok && fsync(fd) == 0;
  const int code = errno;
  if (fd >= 0 && close(fd) != 0) ok = false;
  if (ok) return true;
  *error = statePath + ": the HDF5 output's hold cannot be written: " + strerror(code ? code : errno);
  return false;
}

bool Hdf5Output::takeUp(const std::string& heldPath, const std::string& statePath,
                        std::string* error) {
  quietErrors();
  const std::string where = statePath + ": cannot take up the HDF5 output held in " + heldPath;
  std::vector<char> bytes;
  const int fd = open(statePath.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    *error = where + ": " + strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  bytes.resize(size_t(st.st_size));
  const bool read = pread(fd, bytes.data(), bytes.size(), 0) == ssize_t(bytes.size());
  close(fd);
  HeldState s{};
  const size_t head = sizeof kHeldMagic + sizeof s;
  if (read && bytes.size() >= head) memcpy(&s, bytes.data() + sizeof kHeldMagic, sizeof s);
  const int64_t chunks = s.final / kChunkRecords;
  const size_t table = head + size_t(s.pending) * 10;
  if (!read || bytes.size() < head || memcmp(bytes.data(), kHeldMagic, sizeof kHeldMagic) != 0 ||
      s.pending < 0 || s.pending > kBufferRecords || s.final < 0 ||
      s.final % kChunkRecords != 0 || s.records != s.final + s.pending ||
      bytes.size() != table + 2 * size_t(chunks) * sizeof(Impl::StoredChunk)) {
    *error = where + ": not a hold of an HDF5 output, or cut short";
    return false;
  }
  if (s.filters != filterMark(_impl->timestamps)) {
    *error = where + ": its columns are stored with other filters";
    return false;
  }
  if (!copyFinal(heldPath, bytes.data() + table, chunks, error)) {
    *error = where + ": " + *error;
    return false;
  }
  _records = s.records;
  _first = s.first;
  _lastPut = s.lastPut;
  _lastWritten = s.lastWritten;
  _outOfOrder = s.outOfOrder;
  _recount = true;
  if (s.pending > 0) {
    if (!haveRing()) {
      *error = where + ": out of memory";
      return false;
    }
    memcpy(_times, bytes.data() + head, size_t(s.pending) * sizeof *_times);
    memcpy(_channels, bytes.data() + head + size_t(s.pending) * sizeof *_times,
           size_t(s.pending) * sizeof *_channels);
    _head = 0;
    _buffered = s.pending;
  }
  return true;
}

// Notes where the chunks of the columns' first `records` records (a whole number of chunks,
// written whole and never again) are stored, those not noted at an earlier hold.
bool Hdf5Output::noteChunks(int64_t records) {
  const size_t chunks = size_t(records / kChunkRecords);
  const hid_t columns[2] = {_impl->timestamps, _impl->detectors};
  for (int c = 0; c < 2; ++c) {
    std::vector<Impl::StoredChunk>& noted = _impl->chunks[c];
    if (noted.size() > chunks) noted.resize(chunks);
    while (noted.size() < chunks) {
      const hsize_t offset[1] = {hsize_t(noted.size()) * hsize_t(kChunkRecords)};
      unsigned filters = 0;
      haddr_t address = HADDR_UNDEF;
      hsize_t bytes = 0;
      if (H5Dget_chunk_info_by_coord(columns[c], offset, &filters, &address, &bytes) < 0 ||
          address == HADDR_UNDEF || bytes == 0)
        return false;
      noted.push_back({uint64_t(address), uint64_t(bytes), uint32_t(filters), 0});
    }
  }
  return true;
}

// The held file's first `chunks` chunks of each column, read where the hold's `table` says they
// are stored (filtered, with their filter mask) and written into this output's columns as they
// are. The file's own structure is not read: a writer killed while it completed the file (in the
// ordinary mode, see finish()) may have left it torn, never its final chunks.
bool Hdf5Output::copyFinal(const std::string& heldPath, const char* table, int64_t chunks,
                           std::string* error) {
  const int fd = open(heldPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open it: " + std::string(strerror(errno));
    return false;
  }
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  const int64_t records = chunks * kChunkRecords;
  std::vector<char> chunk;
  const hid_t columns[2] = {_impl->timestamps, _impl->detectors};
  for (int c = 0; c < 2; ++c) {
    const hsize_t size[1] = {hsize_t(records)};
    if (H5Dset_extent(columns[c], size) < 0) {
      *error = "write error: " + hdf5ErrorText(errno);
      return false;
    }
    for (int64_t k = 0; k < chunks; ++k) {
      Impl::StoredChunk stored;
      memcpy(&stored, table + size_t(c * chunks + k) * sizeof stored, sizeof stored);
      if (stored.bytes == 0 || stored.bytes > uint64_t(kChunkRecords) * 16) {
        *error = "not a hold of an HDF5 output, or cut short";
        return false;
      }
      chunk.resize(size_t(stored.bytes));
      const ssize_t got = pread(fd, chunk.data(), chunk.size(), off_t(stored.address));
      if (got != ssize_t(chunk.size())) {
        *error = got < 0 ? "read error: " + std::string(strerror(errno))
                         : std::string("holds fewer records than were held");
        return false;
      }
      const hsize_t offset[1] = {hsize_t(k * kChunkRecords)};
      if (H5Dwrite_chunk(columns[c], H5P_DEFAULT, stored.filters, offset, chunk.size(),
                         chunk.data()) < 0) {
        *error = "write error: " + hdf5ErrorText(errno);
        return false;
      }
    }
    _impl->chunks[c].clear();  // stored elsewhere in this file: a hold notes them anew
  }
  _impl->written = _impl->extent = records;
  return true;
}
