// The HDF5 output of the command-line programs: written under a temporary name in its folder and
// renamed into place only when complete, like the text and binary outputs (see OutputFile).
#ifndef RAVIK_CLI_HDF5FILE_H
#define RAVIK_CLI_HDF5FILE_H

#include <string>

#include "cli/outputfile.h"
#include "merge/hdf5output.h"

class Hdf5File {
public:
  // Creates the temporary file for `path`; `compress`: shuffle and deflate. False with a
  // one-line message naming `path`.
  bool create(const std::string& path, bool compress, std::string* error, bool noClobber = false);

  // What the merge writes to; null unless created.
  Hdf5Output* output() { return _created ? &_output : nullptr; }
  // After the merge: writes the rest and closes the HDF5 file (nothing to do when not created).
  // False with a message naming the file.
  bool complete(const Hdf5RunInfo& info, std::string* error);
  // The file to publish after complete() (see publishOutputs).
  OutputFile* file() { return &_file; }
  // Closes and removes the temporary file.
  void discard();

private:
  OutputFile _file;
  Hdf5Output _output;
  bool _created = false;
};

#endif
