// An output file that appears under its final name only when it is complete.
//
// The data go to a temporary file in the same folder, which publish() renames into place, so an
// interrupted or failed merge never leaves a partial file under the final name. (Not synced to
// disk: that would cost the merge's speed and guards only against a crash of the system.) An existing
// device or pipe (e.g. /dev/null) cannot be replaced that way and is written directly; so is an
// open descriptor named "-", /dev/stdout or /dev/fd/N (see descriptorName()). A symbolic link is
// written through: its target is replaced and the link stays.
//
// A named pipe is opened only once a reader has opened it, and a pipe's writes wait for room in
// short polls: a stop signal (SIGINT, SIGTERM, SIGHUP, blocked and taken by the program's own
// wait) ends either wait, and so does cancel(). Where the wait for a reader would be, create()
// waits, or, for a caller whose thread must not block, the first write does (PipeReader).
//
// The stream counts the bytes it writes and catches write errors at the system call (see
// merge/outputstream.h).
#ifndef RAVIK_MERGE_OUTPUTFILE_H
#define RAVIK_MERGE_OUTPUTFILE_H

#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

#include "merge/outputstream.h"

class OutputFile {
public:
  OutputFile() = default;
  ~OutputFile() { discard(); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Where the wait for a named pipe's reader is.
  enum class PipeReader {
    AtCreate,      // create() waits
    AtFirstWrite,  // create() returns at once; the first write waits (see StreamSink::pendingPipe)
  };

  // Creates the temporary file for `path` (call before any thread is started: reads the umask).
  // False with a one-line message naming `path` in *error; stopSignal() then tells whether a
  // stop signal ended the wait for a pipe's reader. With `noClobber` publish() never replaces a
  // file that appeared under the name meanwhile.
  bool create(const std::string& path, std::string* error, bool noClobber = false,
              PipeReader reader = PipeReader::AtCreate);

  // The next create() of a file writes it under `name` (see freePartialName()), created anew,
  // rather than under a temporary name of its own choosing.
  void reservePartial(const std::string& name) {
    _reserved = name;
    _heldBytes = -1;
  }
  // The next create() of a file goes on from the temporary file `name` that a killed writer of
  // the output left: its first `bytes` bytes (what its last sync() made durable) are copied into
  // the new temporary file, and the stream's writes come after them. `name` stays as it is, so
  // that a recovery stopped in its turn can go on from it again.
  void takeUpPartial(const std::string& name, int64_t bytes) {
    _reserved = name;
    _heldBytes = bytes;
  }
  // Flushes the stream and syncs the file's data to disk, while the output goes on; the bytes
  // written so far (a taken-up file's included) in *bytes. False with a message.
  bool sync(int64_t* bytes, std::string* error);

  // For a library that writes the file by name (HDF5): creates the temporary file as create()
  // does and gives its name in *name instead of a stream; finish() then only checks that the
  // file is there. Only regular files: a library that seeks back cannot write to a pipe.
  bool createNamed(const std::string& path, std::string* name, std::string* error,
                   bool noClobber = false);

  // The stream to write to; null before create(). Its position (ftell) counts the bytes written
  // also where the file cannot seek, as on a pipe.
  FILE* file() const { return _file; }
  // The name given to create().
  const std::string& path() const { return _path; }
  // The temporary name the output is written under until publish() (see partialTemplate());
  // empty when it is written in place, and once published or discarded.
  const std::string& partialPath() const { return _tmpPath; }
  // errno of the first failed write, 0 while there is none. Any thread may ask.
  int writeError() const { return _sink ? _sink->error.load(std::memory_order_relaxed) : 0; }
  // Ends a write that waits for a pipe's reader or for room in the pipe (it fails with EINTR),
  // and every later one. Any thread may call it.
  void cancel() {
    if (_sink) _sink->cancel.store(true, std::memory_order_relaxed);
  }
  // The stop signal that ended create()'s wait for a reader; 0 when none did.
  int stopSignal() const { return _stopSignal; }

  // Flushes and closes the stream; with `durable` the file's data also reach the disk (fsync)
  // before finish() returns. False with a message in *error when anything could not be
  // written; the temporary file is then removed.
  bool finish(std::string* error, bool durable = false);
  // After finish(): renames the temporary file into place. False with a message.
  bool publish(std::string* error);
  // Closes the stream and removes the temporary file; the final name is left untouched. What is
  // left to write to a pipe is given up rather than waited for.
  void discard();

private:
  // Opens an existing file that cannot be replaced (a device, a pipe); -1 with errno set.
  int openInPlace(const std::string& name);

  std::string _path;      // as given
  std::string _target;    // where the data go: _path with symbolic links followed
  std::string _tmpPath;  // empty when writing to _path directly
  std::string _reserved;  // the temporary name for the next create(); empty: one of its own
  int64_t _heldBytes = -1;  // >= 0: _reserved is a file to go on with after so many bytes
  std::unique_ptr<StreamSink> _sink;
  FILE* _file = nullptr;
  bool _noClobber = false;
  int _stopSignal = 0;
};

// One output and its kind for messages ("text", "binary", "HDF5").
struct NamedOutput {
  OutputFile* file;
  const char* kind;
};

// The absolute temporary names of those of `outputs` (null ones passed over) that are written
// under one now: what a run manifest keeps as its partials.
std::vector<std::string> partialNames(const std::vector<const OutputFile*>& outputs);

// Finishes the outputs, then renames them into place in this order, only when all were written
// in full. False with a message in *error that says which outputs are in place: none, or those
// renamed before one that could not be. With `durable`, every output's data and its new name
// have reached the disk when it returns true.
bool publishOutputs(const std::vector<NamedOutput>& outputs, std::string* error,
                    bool durable = false);

#endif
