#include "pe/ImageFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace pe {

bool ReadImageFile(const std::string &path, std::vector<uint8_t> &out, std::string &error) {
  out.clear();
  if (path.empty()) {
    error = "no file named (an empty path)";
    return false;
  }
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  if (S_ISDIR(info.st_mode)) {
    error = path + ": is a folder, not a file";
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    error = path + ": not a regular file";
    return false;
  }
  FILE *file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  uint8_t chunk[65536];
  size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) out.insert(out.end(), chunk, chunk + n);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    error = path + ": read error";
    return false;
  }
  if (out.empty()) {
    error = path + ": the file is empty";
    return false;
  }
  return true;
}

}  // namespace pe
