// The linker's map of the image: where each named function and variable
// lies, as an offset from the image base.  The main job, the QEMU rig and the
// tests use it to find a variable (the print level) or a function to aim at,
// and to name where an address lies.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pe {

class MapFile {
 public:
  // Reads `path`; false (with Error() set) when it cannot be read or has no
  // preferred load address.
  bool Read(const std::string &path);
  const std::string &Error() const { return error_; }

  // The symbol's offset from the image base.  C++ names are matched by their
  // plain identifier ("gBS", "GpioUnlockSmiHandler"), C names as they stand.
  std::optional<uint32_t> Rva(const std::string &name) const;

  // The board settings the image was built with, in the order the build
  // wrote them ("Board setting: NAME = VALUE" lines at the map's end); empty
  // for a map without them.
  const std::vector<std::pair<std::string, std::string>> &BoardSettings() const { return board_; }
  std::optional<std::string> BoardSetting(const std::string &name) const;

  // The symbol at or below `rva` and the distance from it ("GpioUnlockSmiHandler",
  // 3); nothing when no symbol lies at or below it.
  std::optional<std::pair<std::string, uint32_t>> Nearest(uint32_t rva) const;

 private:
  std::map<std::string, uint32_t> rvas_;
  std::map<uint32_t, std::string> names_;
  std::vector<std::pair<std::string, std::string>> board_;  // by address; the first name read wins
  std::string error_;
};

// Where the map of the image at `imagePath` lies: the image's own file name
// with its extension (if it has one) replaced by ".map"
// ("/x/a.b/drv.efi" -> "/x/a.b/drv.map", "/x/a.b/drv" -> "/x/a.b/drv.map").
std::string MapPathFor(const std::string &imagePath);

// The offset of the print-level variable of the image at `imagePath`, from
// the map beside it: the one place the main job and the QEMU rig learn where
// to set the level.  Nothing, with `error` saying why, when the map is
// missing or names no such variable.
std::optional<uint32_t> PrintLevelRva(const std::string &imagePath, std::string &error);

}  // namespace pe
