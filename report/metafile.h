// The user's description of an experiment for the HDF5 output: a JSON file that mirrors the
// output's groups with the format's field names, for example
//
//   {"description": "...",
//    "identity": {"author": "...", "author_affiliation": "..."},
//    "sample": {"sample_name": "..."},
//    "setup": {"excitation_wavelengths": [5.32e-7], "detection_wavelengths": [5.8e-7]}}
//
// Read by ravik-record and ravik-merge (--meta FILE) and by the window (ravik-meta.json in the
// HDF5 output's folder). Every key must be one the format defines for that group, with a value
// of its type: a misspelt key would otherwise vanish without a word.
#ifndef RAVIK_REPORT_METAFILE_H
#define RAVIK_REPORT_METAFILE_H

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "merge/hdf5output.h"

// The name the window looks for beside its HDF5 output.
extern const char* const kMetaFileName;

// Reads and checks `path`; false with one line naming the file and the key at fault
// ("meta.json: unknown key identity.autor", "meta.json: setup.excitation_wavelengths must be a
// list of numbers").
bool loadMetaFile(const std::string& path, std::vector<Hdf5MetaField>* fields, std::string* error);

// The same from a document of the file's shape; false with one line naming the key at fault.
bool metaFromJson(const nlohmann::json& root, std::vector<Hdf5MetaField>* fields,
                  std::string* error);
// The fields as a document of the file's shape that metaFromJson() reads back unchanged (null
// for none): how the run manifest keeps them for a recovery.
nlohmann::json metaToJson(const std::vector<Hdf5MetaField>& fields);

#endif
