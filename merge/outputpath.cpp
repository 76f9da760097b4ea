#include "merge/outputpath.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <vector>

namespace {

// "N" in full, a descriptor number.
int32_t descriptorNumber(const std::string& text) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return -1;
  return int32_t(atol(text.c_str()));
}

bool startsWith(const std::string& text, const char* prefix, std::string* rest) {
  const std::string p(prefix);
  if (text.compare(0, p.size(), p) != 0) return false;
  *rest = text.substr(p.size());
  return true;
}

}  // namespace

int32_t descriptorName(const std::string& path) {
  if (path == "-" || path == "/dev/stdout") return 1;
  if (path == "/dev/stderr") return 2;
  std::string rest;
  if (startsWith(path, "/dev/fd/", &rest) || startsWith(path, "/proc/self/fd/", &rest))
    return descriptorNumber(rest);
  return -1;
}

void splitPath(const std::string& path, std::string* dir, std::string* base) {
  const size_t slash = path.rfind('/');
  *dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  *base = slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string absolutePath(const std::string& path) {
  if (path.empty() || path[0] == '/' || path == "-") return path;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

std::string partialTemplate(const std::string& dir) { return dir + "/.ravik-XXXXXX"; }

bool isPartialName(const std::string& path) {
  std::string dir, base;
  splitPath(path, &dir, &base);
  static const char kPrefix[] = ".ravik-";
  const size_t prefix = sizeof kPrefix - 1;
  if (base.size() != prefix + 6 || base.compare(0, prefix, kPrefix) != 0) return false;
  for (size_t i = prefix; i < base.size(); ++i)
    if (!isalnum(static_cast<unsigned char>(base[i]))) return false;
  return true;
}

std::string freePartialName(const std::string& path) {
  static const char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string dir, base;
  splitPath(absolutePath(followLinks(path)), &dir, &base);
  std::random_device random;
  std::uniform_int_distribution<size_t> letter(0, sizeof kLetters - 2);
  std::string name;
  struct stat st;
  do {
    name = partialTemplate(dir);
    for (size_t i = name.size() - 6; i < name.size(); ++i) name[i] = kLetters[letter(random)];
  } while (lstat(name.c_str(), &st) == 0);
  return name;
}

std::string followLinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::vector<char> target(size_t(st.st_size) + PATH_MAX);
    const ssize_t n = readlink(path.c_str(), target.data(), target.size() - 1);
    if (n <= 0) return path;
    const std::string link(target.data(), size_t(n));
    std::string dir, base;
    splitPath(path, &dir, &base);
    path = link[0] == '/' ? link : dir + "/" + link;
  }
  return path;
}

FileIdentity identifyPath(const std::string& path) {
  FileIdentity id;
  struct stat st;
  const int32_t fd = descriptorName(path);
  const std::string target = fd >= 0 ? path : followLinks(path);
  if (fd >= 0 ? fstat(fd, &st) == 0 : stat(target.c_str(), &st) == 0) {
    id.exists = true;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    id.mode = st.st_mode;
    return id;
  }
  std::string dir, base;
  splitPath(target, &dir, &base);
  char resolved[PATH_MAX];
  id.name = realpath(dir.c_str(), resolved) != nullptr ? std::string(resolved) + "/" + base
                                                       : target;
  return id;
}

bool sameFile(const FileIdentity& a, const FileIdentity& b) {
  if (a.exists != b.exists) return false;
  return a.exists ? a.device == b.device && a.inode == b.inode : a.name == b.name;
}

std::string removeFiles(std::initializer_list<std::string> files) {
  std::string left;
  for (const std::string& file : files)
    if (unlink(file.c_str()) != 0 && errno != ENOENT)
      left += (left.empty() ? "" : "; ") + file + ": not removed: " + strerror(errno);
  return left;
}
