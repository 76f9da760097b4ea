// The options of both programs that name files beside the outputs: the --meta file of the HDF5
// output and the run report's --report.
#ifndef RAVIK_CLI_OUTPUTOPTIONS_H
#define RAVIK_CLI_OUTPUTOPTIONS_H

#include <string>
#include <vector>

#include "merge/hdf5output.h"
#include "merge/inputs.h"
#include "merge/outputcheck.h"

// Reads the --meta file at `path` (nothing when empty) for the HDF5 output at `hdf5Path`. False
// with one line naming the file and the key at fault, or --meta without --hdf5.
bool loadHdf5Meta(const std::string& path, const std::string& hdf5Path,
                  std::vector<Hdf5MetaField>* meta, std::string* error);

// The --keep filter `text` (nothing when empty) as the outputs' filter reads it; false with one
// line saying what is wrong in it.
bool checkKeep(const std::string& text, std::string* error);

#endif
