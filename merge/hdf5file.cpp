#include "merge/hdf5file.h"

std::vector<Hdf5Source> hdf5Sources(const std::vector<std::string>& paths,
                                    const std::vector<int32_t>& chains,
                                    const std::vector<std::string>& serials,
                                    const std::vector<MergeSourceStats>& stats, bool kept) {
  std::vector<Hdf5Source> sources(paths.size());
  for (size_t i = 0; i < paths.size(); ++i) {
    sources[i].path = paths[i];
    sources[i].chain = i < chains.size() ? chains[i] : int32_t(i);
    if (i < serials.size()) sources[i].serial = serials[i];
    sources[i].fiveChannel = i < stats.size() && stats[i].channels[5] > 0;
    sources[i].kept = kept;
  }
  return sources;
}

std::string hdf5OrderWarning(const Hdf5Output& output) {
  if (output.outOfOrder() == 0) return std::string();
  return "warning: " + std::to_string(output.outOfOrder()) +
         " timestamps of the HDF5 output are out of time order (a marker ran further ahead "
         "than the reorder buffer holds, or a stream stepped back); /user/ravik/sorted is 0";
}

bool Hdf5File::create(const std::string& path, Hdf5Compression compression, std::string* error,
                      bool noClobber, bool holdable) {
  std::string name;
  if (!_file.createNamed(path, &name, error, noClobber)) return false;
  if (!_output.create(name, path, compression, error, holdable)) {
    _file.discard();
    return false;
  }
  _created = true;
  return true;
}

bool Hdf5File::complete(const Hdf5RunInfo& info, std::string* error) {
  if (!_created) return true;
  _created = false;
  return _output.finish(info, error);
}

void Hdf5File::discard() {
  if (_created) _output.abandon();
  _created = false;
  _file.discard();
}
