// A run kept in a temp folder (killed, or its merge did not complete) is moved out of the way of
// the next recording there, which names its temp files as every recording does; the kept run is
// then finished with ravik-merge --recover from its new folder.
#ifndef RAVIK_CHAIN_KEPTRUN_H
#define RAVIK_CHAIN_KEPTRUN_H

#include <string>

// Before a recording in `dir`, which names its temp files as every recording there does: a run
// kept in `dir` (a manifest that no program holds: a killed recording, or one whose merge did not
// complete) is moved, with the temp files and loss files its manifest names, into a new folder
// "<dir>/ravik-kept-XXXXXX", so that the new recording cannot replace what only that run holds.
// *movedTo gets the new folder, empty when there was no such run (none, or one still in use,
// whose temp files a new recording cannot take anyway). A manifest that cannot be read goes with
// every "ravik-<index>.tmp" beside it. False with a message when something could not be moved:
// then nothing is to be recorded in `dir`.
bool setAsideKeptRun(const std::string& dir, std::string* movedTo, std::string* error);

#endif
