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

bool runReportPath(const std::string& named, const std::string& textPath,
                   const std::string& binPath, const std::vector<OutputName>& outputs,
                   const std::vector<InputStream>& inputs, const ReadFiles& read,
                   std::string* path, std::string* error) {
  *path = named;
  if (!named.empty()) return true;
  std::vector<std::string> taken;
  for (const OutputName& out : outputs) taken.push_back(out.path);
  for (const InputStream& input : inputs) {
    taken.push_back(input.arg.path);
    taken.push_back(lossFileName(input.arg.path));
  }
  for (const OutputName& file : read) taken.push_back(file.path);
  if (defaultReportPath(textPath, binPath, taken, path, error)) return true;
  *error += "; name the report with --report FILE";
  return false;
}
