// vexa_ffs: packs the module image into its firmware file and a firmware volume.
//
//   vexa_ffs IMAGE.efi OUT.ffs [OUT.fv]
//
// Exit status 0 on success; 2 on a usage error; 1 when the image cannot be
// read or packed, or an output cannot be written (with a message on stderr).

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "FirmwareFile.h"

namespace {

bool ReadFile(const char *path, packager::Bytes &out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool WriteFile(const char *path, const packager::Bytes &data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
  out.close();
  return !out.fail();
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: %s IMAGE.efi OUT.ffs [OUT.fv]\n", argv[0]);
    return 2;
  }
  packager::Bytes image;
  if (!ReadFile(argv[1], image)) {
    std::fprintf(stderr, "vexa_ffs: cannot read %s\n", argv[1]);
    return 1;
  }
  std::string error;
  const packager::Bytes file =
      packager::BuildModuleFile(image, packager::kModuleFileGuid, packager::kModuleUiName, error);
  if (file.empty()) {
    std::fprintf(stderr, "vexa_ffs: %s: %s\n", argv[1], error.c_str());
    return 1;
  }
  if (!WriteFile(argv[2], file)) {
    std::fprintf(stderr, "vexa_ffs: cannot write %s\n", argv[2]);
    return 1;
  }
  if (argc == 4) {
    const packager::Bytes fv = packager::BuildVolume({file}, error);
    if (fv.empty()) {
      std::fprintf(stderr, "vexa_ffs: %s\n", error.c_str());
      return 1;
    }
    if (!WriteFile(argv[3], fv)) {
      std::fprintf(stderr, "vexa_ffs: cannot write %s\n", argv[3]);
      return 1;
    }
  }
  std::printf("%s: file %s, %zu bytes\n", argv[2], packager::GuidText(packager::kModuleFileGuid).c_str(), file.size());
  return 0;
}
