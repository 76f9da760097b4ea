// An output file that appears under its final name only when it is complete.
//
// The data go to a temporary file in the same folder, which publish() renames into place, so an
// interrupted or failed merge never leaves a partial file under the final name. (Not synced to
// disk: that would cost the merge's speed and guards only against a crash of the system.) An existing
// device or pipe (e.g. /dev/null) cannot be replaced that way and is written directly. A symbolic
// link is written through: its target is replaced and the link stays.
//
// The stream counts the bytes it writes and catches write errors at the system call (see
// merge/outputstream.h).
#ifndef RAVIK_CLI_OUTPUTFILE_H
#define RAVIK_CLI_OUTPUTFILE_H

#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

#include "cli/inputs.h"
#include "merge/outputstream.h"

class OutputFile {
public:
  OutputFile() = default;
  ~OutputFile() { discard(); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the temporary file for `path` (call before any thread is started: reads the umask).
  // False with a one-line message naming `path` in *error.
  bool create(const std::string& path, std::string* error);

  // For a library that writes the file by name (HDF5): creates the temporary file as create()
  // does and gives its name in *name instead of a stream; finish() then only checks that the
  // file is there. Only regular files: a library that seeks back cannot write to a pipe.
  bool createNamed(const std::string& path, std::string* name, std::string* error);

  // The stream to write to; null before create(). Its position (ftell) counts the bytes written
  // also where the file cannot seek, as on a pipe.
  FILE* file() const { return _file; }
  // The name given to create().
  const std::string& path() const { return _path; }
  // errno of the first failed write, 0 while there is none. Any thread may ask.
  int writeError() const { return _sink ? _sink->error.load(std::memory_order_relaxed) : 0; }

  // Flushes and closes the stream. False with a message in *error when anything could not be
  // written; the temporary file is then removed.
  bool finish(std::string* error);
  // After finish(): renames the temporary file into place. False with a message.
  bool publish(std::string* error);
  // Closes the stream and removes the temporary file; the final name is left untouched.
  void discard();

private:
  std::string _path;      // as given
  std::string _target;    // where the data go: _path with symbolic links followed
  std::string _tmpPath;  // empty when writing to _path directly
  std::unique_ptr<StreamSink> _sink;
  FILE* _file = nullptr;
};

// One output and its kind for messages ("text", "binary", "HDF5").
struct NamedOutput {
  OutputFile* file;
  const char* kind;
};

// Finishes the outputs, then renames them into place in this order, only when all were written
// in full. False with a message in *error that says which outputs are in place: none, or those
// renamed before one that could not be.
bool publishOutputs(const std::vector<NamedOutput>& outputs, std::string* error);

// Checks that `path` may be written: not a directory, not one of the inputs (also through a
// link), not the same file as `other` (the other output; may be empty). False with a message.
bool checkOutputPath(const std::string& path, const std::string& other,
                     const std::vector<InputStream>& inputs, std::string* error);

#endif
