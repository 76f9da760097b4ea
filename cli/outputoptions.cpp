#include "cli/outputoptions.h"

#include "merge/streamloss.h"
#include "monitor/keepfilter.h"
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

bool checkKeep(const std::string& text, std::string* error) {
  std::vector<KeepClause> clauses;
  if (text.empty() || parseKeep(text, &clauses, error)) return true;
  *error = "bad --keep '" + text + "': " + *error;
  return false;
}
