// What an output's name leads to, so that two names of one file are told apart before anything
// is written, and the names that stand for an already open descriptor ("-", /dev/stdout).
#ifndef RAVIK_MERGE_OUTPUTPATH_H
#define RAVIK_MERGE_OUTPUTPATH_H

#include <stdint.h>
#include <sys/types.h>

#include <initializer_list>
#include <string>

// The descriptor a name stands for: "-" and /dev/stdout 1, /dev/stderr 2, /dev/fd/N and
// /proc/self/fd/N N; -1 for every other name. Such an output is written through the descriptor
// the program was given, never reopened by name (which would truncate a file opened for appending
// and fails where /proc/self/fd/N names a pipe).
int32_t descriptorName(const std::string& path);

// The path with every symbolic link on its last component followed, also to a target that does
// not exist yet. Gives up after 40 links, as the system does.
std::string followLinks(std::string path);

// The folder part and the name part of a path ("out.txt" lies in ".").
void splitPath(const std::string& path, std::string* dir, std::string* base);

// `path` made absolute against the working folder ("-" and absolute paths stay as they are), so
// that a run manifest names it for a recovery started anywhere.
std::string absolutePath(const std::string& path);

// An output is written under a temporary name in its final folder until it is complete:
// "<dir>/.ravik-XXXXXX", as mkstemp() fills it in. Short, so that the longest name a folder takes
// still has a temporary name beside it.
std::string partialTemplate(const std::string& dir);
// True when the last part of `path` is such a name (".ravik-" and six letters or digits).
bool isPartialName(const std::string& path);
// A temporary name of that form in the folder of `path` (links followed, as an output's target
// is) that no file has now, absolute: named to a run manifest before the file is created, so
// that a run killed at any moment leaves no temporary file the manifest does not name.
std::string freePartialName(const std::string& path);

struct FileIdentity {
  bool exists = false;  // device, inode and mode hold; otherwise only name
  dev_t device = 0;
  ino_t inode = 0;
  mode_t mode = 0;
  std::string name;     // a file not there yet: its name after links, with its folder resolved
};

// What `path` leads to now: the open descriptor of a descriptor name, the file behind the links,
// or for a file not there yet the name it would be created under.
FileIdentity identifyPath(const std::string& path);

// True when both lead to one file, existing or to be created.
bool sameFile(const FileIdentity& a, const FileIdentity& b);

// Deletes each of `files`. Returns those that are still there, each with why ("NAME: not
// removed: ..."), joined by "; "; a file that is not there is not missed.
std::string removeFiles(std::initializer_list<std::string> files);

#endif
