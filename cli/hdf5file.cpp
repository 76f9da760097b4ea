#include "cli/hdf5file.h"

bool Hdf5File::create(const std::string& path, bool compress, std::string* error,
                      bool noClobber) {
  std::string name;
  if (!_file.createNamed(path, &name, error, noClobber)) return false;
  if (!_output.create(name, path, compress, error)) {
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
