// vexa-ffs: packs the module image into its firmware file and a firmware volume.
//
//   vexa-ffs IMAGE.efi OUT.ffs [OUT.fv]
//
// Exit status 0 on success; 2 on a usage error; 1 when the image cannot be
// read or packed, or an output cannot be written (with a message on stderr).
// Both outputs are built in memory first and each is written to a temporary
// file that is renamed into place, so a failure leaves no partial output.

#include <cstdio>
#include <string>

#include "FirmwareFile.h"
#include "pe/ImageFile.h"

namespace {

const char kUsage[] =
    "usage: vexa-ffs IMAGE.efi OUT.ffs [OUT.fv]\n"
    "\n"
    "Packs a driver image into a PI firmware file of type SMM (0x0A): a dependency\n"
    "section on the SMI-source dispatch protocol, the image as a PE32 section, and the\n"
    "name VexaGpioUnlockSmm; with OUT.fv, also a firmware volume (FFSv2) holding that\n"
    "file.  The image must be a loadable x86-64 PE32+ UEFI driver, by the same rule the\n"
    "main job loads images with.\n"
    "\n"
    "Exit status: 0 written, 1 the image or an output failed, 2 usage.\n";

// Writes `data` to `path` through a temporary file renamed into place.
bool WriteWhole(const std::string &path, const packager::Bytes &data, std::string &error) {
  const std::string temporary = path + ".partial";
  FILE *out = std::fopen(temporary.c_str(), "wb");
  if (out == nullptr) {
    error = "cannot write " + path;
    return false;
  }
  const bool written = std::fwrite(data.data(), 1, data.size(), out) == data.size();
  const bool closed = std::fclose(out) == 0;
  if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::remove(temporary.c_str());
    error = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc != 3 && argc != 4) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  packager::Bytes image;
  std::string error;
  if (!pe::ReadImageFile(argv[1], image, error)) {
    std::fprintf(stderr, "vexa-ffs: cannot read %s\n", error.c_str());
    return 1;
  }
  const packager::Bytes file =
      packager::BuildModuleFile(image, packager::kModuleFileGuid, packager::kModuleUiName, error);
  if (file.empty()) {
    std::fprintf(stderr, "vexa-ffs: %s: %s\n", argv[1], error.c_str());
    return 1;
  }
  packager::Bytes volume;
  if (argc == 4) {
    volume = packager::BuildVolume({file}, error);
    if (volume.empty()) {
      std::fprintf(stderr, "vexa-ffs: %s\n", error.c_str());
      return 1;
    }
  }
  if (!WriteWhole(argv[2], file, error) || (argc == 4 && !WriteWhole(argv[3], volume, error))) {
    if (argc == 4) std::remove(argv[2]);  // all or nothing
    std::fprintf(stderr, "vexa-ffs: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s: firmware file %s, %zu bytes\n", argv[2], packager::GuidText(packager::kModuleFileGuid).c_str(),
              file.size());
  if (argc == 4) std::printf("%s: firmware volume holding it, %zu bytes\n", argv[3], volume.size());
  return 0;
}
