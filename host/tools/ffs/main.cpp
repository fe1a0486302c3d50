// vexa-ffs: packs the module image into its firmware file and a firmware volume.
//
//   vexa-ffs IMAGE.efi OUT.ffs [OUT.fv]
//
// Exit status 0 on success; 2 on a usage error; 1 when the image cannot be
// read or packed, or an output cannot be written (with a message on stderr).
// An output that names the input, or the other output, is refused before
// anything is written.  Both outputs are built in memory and written to
// temporary files of their own (created here, so no file of the user's is
// touched); only when both are complete are they renamed into place, so a
// failure leaves every existing file as it was and removes only what this
// run created.

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "FirmwareFile.h"
#include "pe/ImageFile.h"

namespace {

namespace fs = std::filesystem;

const char kUsage[] =
    "usage: vexa-ffs IMAGE.efi OUT.ffs [OUT.fv]\n"
    "\n"
    "Packs a driver image into a PI firmware file of type SMM (0x0A): a dependency\n"
    "section on the SMI-source dispatch protocol, the image as a PE32 section, and the\n"
    "name VexaGpioUnlockSmm; with OUT.fv, also a firmware volume (FFSv2) holding that\n"
    "file.  The image must be an x86-64 PE32+ UEFI driver the firmware could load and\n"
    "keep every property the module's image has: base relocations, no imports, page-\n"
    "aligned sections, none both writable and executable, NX-compatible.  The outputs\n"
    "must differ from the image and from each other.\n"
    "\n"
    "Exit status: 0 written, 1 the image or an output failed, 2 usage.\n";

// Whether two paths name the same file: the same file on disk (a link or
// another spelling of it), or the same place once both are made absolute.
bool SameFile(const std::string &a, const std::string &b) {
  std::error_code error;
  if (fs::equivalent(a, b, error)) return true;
  const fs::path pa = fs::weakly_canonical(a, error);
  if (error) return a == b;
  const fs::path pb = fs::weakly_canonical(b, error);
  if (error) return a == b;
  return pa == pb;
}

// A temporary file beside `path`, created here (so it is ours to remove),
// holding `data`.  Empty on failure, with `error` set.
std::string WriteTemporary(const std::string &path, const packager::Bytes &data, std::string &error) {
  std::string name = path + ".XXXXXX";
  std::vector<char> pattern(name.begin(), name.end());
  pattern.push_back('\0');
  const int fd = mkstemp(pattern.data());
  if (fd < 0) {
    error = "cannot write " + path;
    return {};
  }
  name = pattern.data();
  const mode_t mask = umask(0);  // the permissions a plain new file gets
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  FILE *out = fdopen(fd, "wb");
  const bool written = out != nullptr && std::fwrite(data.data(), 1, data.size(), out) == data.size();
  const bool closed = out != nullptr ? std::fclose(out) == 0 : close(fd) == 0;
  if (!written || !closed) {
    std::remove(name.c_str());
    error = "cannot write " + path;
    return {};
  }
  return name;
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
  const std::string input = argv[1], fileOut = argv[2], volumeOut = argc == 4 ? argv[3] : "";
  if (SameFile(input, fileOut) || (argc == 4 && SameFile(input, volumeOut))) {
    std::fprintf(stderr, "vexa-ffs: %s is the image itself: name another output\n",
                 SameFile(input, fileOut) ? fileOut.c_str() : volumeOut.c_str());
    return 2;
  }
  if (argc == 4 && SameFile(fileOut, volumeOut)) {
    std::fprintf(stderr, "vexa-ffs: %s is named for both outputs: the file and the volume need a name each\n",
                 fileOut.c_str());
    return 2;
  }
  packager::Bytes image;
  std::string error;
  if (!pe::ReadImageFile(input, image, error)) {
    std::fprintf(stderr, "vexa-ffs: cannot read %s\n", error.c_str());
    return 1;
  }
  const packager::Bytes file =
      packager::BuildModuleFile(image, packager::kModuleFileGuid, packager::kModuleUiName, error);
  if (file.empty()) {
    std::fprintf(stderr, "vexa-ffs: %s: %s\n", input.c_str(), error.c_str());
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
  // Both complete before either replaces anything.
  const std::string fileTemporary = WriteTemporary(fileOut, file, error);
  std::string volumeTemporary;
  if (!fileTemporary.empty() && argc == 4) volumeTemporary = WriteTemporary(volumeOut, volume, error);
  bool ok = !fileTemporary.empty() && (argc == 3 || !volumeTemporary.empty());
  if (ok && argc == 4 && std::rename(volumeTemporary.c_str(), volumeOut.c_str()) != 0) {
    error = "cannot write " + volumeOut;
    ok = false;
  }
  if (ok && std::rename(fileTemporary.c_str(), fileOut.c_str()) != 0) {
    error = "cannot write " + fileOut + (argc == 4 ? " (" + volumeOut + " was written)" : "");
    ok = false;
  }
  if (!ok) {
    for (const std::string &t : {fileTemporary, volumeTemporary})
      if (!t.empty()) std::remove(t.c_str());  // ours; a renamed one is gone from this name
    std::fprintf(stderr, "vexa-ffs: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s: firmware file %s, %zu bytes\n", fileOut.c_str(),
              packager::GuidText(packager::kModuleFileGuid).c_str(), file.size());
  if (argc == 4) std::printf("%s: firmware volume holding it, %zu bytes\n", volumeOut.c_str(), volume.size());
  return 0;
}
