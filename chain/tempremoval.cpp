#include "chain/tempremoval.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <system_error>

#include "merge/outputpath.h"
#include "merge/streamloss.h"

void (*tempRemovalStarting)() = nullptr;

namespace {

// Files moved aside and the folders they are in, deleted in this order.
struct Aside {
  std::vector<std::string> files;
  std::vector<std::string> folders;
};

void deleteAll(const Aside& aside) {
  if (tempRemovalStarting) tempRemovalStarting();
  for (const std::string& file : aside.files) unlink(file.c_str());
  for (const std::string& folder : aside.folders) rmdir(folder.c_str());
}

std::string folderOf(const std::string& name) {
  const size_t slash = name.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
}

// The folder inside `folder` that its files are moved into, made by the first call for it;
// empty when none can be made.
std::string asideFolder(const std::string& folder, std::vector<std::string>* from,
                        std::vector<std::string>* made) {
  for (size_t i = 0; i < from->size(); ++i)
    if ((*from)[i] == folder) return (*made)[i];
  std::string name = folder + "/ravik-deleting-XXXXXX";
  if (mkdtemp(&name[0]) == nullptr) name.clear();
  from->push_back(folder);
  made->push_back(name);
  return name;
}

}  // namespace

TempFileRemoval::~TempFileRemoval() { wait(); }

std::string TempFileRemoval::remove(const std::vector<std::string>& names) {
  Aside aside;
  std::string left;
  std::vector<std::string> from, made;
  for (const std::string& name : names) {
    for (const std::string& file : {name, lossFileName(name)}) {
      const std::string folder = asideFolder(folderOf(file), &from, &made);
      const std::string moved = folder + "/" + file.substr(file.rfind('/') + 1);
      if (!folder.empty() && rename(file.c_str(), moved.c_str()) == 0)
        aside.files.push_back(moved);
      else if (folder.empty() || errno != ENOENT) {
        const std::string still = removeFiles({file});
        if (!still.empty()) left += (left.empty() ? "" : "; ") + still;
      }
    }
  }
  for (const std::string& folder : made)
    if (!folder.empty()) aside.folders.push_back(folder);
  // The new thread waits for the one before, so the caller never does.
  const auto before = std::make_shared<std::thread>(std::move(_thread));
  try {
    _thread = std::thread([before, aside] {
      if (before->joinable()) before->join();
      deleteAll(aside);
    });
  } catch (const std::system_error&) {
    if (before->joinable()) before->join();
    deleteAll(aside);
  }
  return left;
}

void TempFileRemoval::wait() {
  if (_thread.joinable()) _thread.join();
}
