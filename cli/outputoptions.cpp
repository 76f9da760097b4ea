#include "cli/outputoptions.h"

#include "merge/streamloss.h"
#include "report/metafile.h"
#include "report/runreport.h"

bool loadHdf5Meta(const std::string& path, const std::string& hdf5Path,
                  std::vector<Hdf5MetaField>* meta, std::string* error) {
  if (path.empty()) return true;
  if (hdf5Path.empty()) {
    *error = "--meta applies to the HDF5 output: give --hdf5 FILE too";
    return false;
  }
  return loadMetaFile(path, meta, error);
}

