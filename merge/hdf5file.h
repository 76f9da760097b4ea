// The HDF5 output file: written under a temporary name in its folder and renamed into place only
// when complete, like the text and binary outputs (see OutputFile).
#ifndef RAVIK_MERGE_HDF5FILE_H
#define RAVIK_MERGE_HDF5FILE_H

#include <string>
#include <vector>

#include "merge/hdf5output.h"
#include "merge/mergecore.h"
#include "merge/outputfile.h"

// The sources as the HDF5 output names them: in merge order, each with the chain position
// and serial given, five-channel when the merge decoded an input 5 of it.
std::vector<Hdf5Source> hdf5Sources(const std::vector<std::string>& paths,
                                    const std::vector<int32_t>& chains,
                                    const std::vector<std::string>& serials,
                                    const std::vector<MergeSourceStats>& stats, bool kept);

// The warning for an HDF5 output whose timestamps are not all in time order; empty when they are.
std::string hdf5OrderWarning(const Hdf5Output& output);

class Hdf5File {
public:
  // Creates the temporary file for `path`, its columns stored with `compression`. False with a
  // one-line message naming `path`. `holdable`: see Hdf5Output::create().
  bool create(const std::string& path, Hdf5Compression compression, std::string* error,
              bool noClobber = false, bool holdable = false);

  // The temporary name of the next create() (see OutputFile::reservePartial()).
  void reservePartial(const std::string& name) { _file.reservePartial(name); }

  // What the merge writes to; null unless created.
  Hdf5Output* output() { return _created ? &_output : nullptr; }
  const Hdf5Output& written() const { return _output; }
  // After the merge: writes the rest and closes the HDF5 file (nothing to do when not created).
  // False with a message naming the file.
  bool complete(const Hdf5RunInfo& info, std::string* error);
  // The file to publish after complete() (see publishOutputs).
  OutputFile* file() { return &_file; }
  const OutputFile* file() const { return &_file; }
  // Closes and removes the temporary file.
  void discard();

private:
  OutputFile _file;
  Hdf5Output _output;
  bool _created = false;
};

#endif
