// The linker's map of the image: where each named function and variable
// lies, as an offset from the image base.  Tests use it to find a variable
// (the print level) or a function to aim at; the harness itself needs none.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace harness {

class MapFile {
 public:
  // Reads `path`; false (with Error() set) when it cannot be read or has no
  // preferred load address.
  bool Read(const std::string &path);
  const std::string &Error() const { return error_; }

  // The symbol's offset from the image base.  C++ names are matched by their
  // plain identifier ("gBS", "GpioUnlockSmiHandler"), C names as they stand.
  std::optional<uint32_t> Rva(const std::string &name) const;

 private:
  std::map<std::string, uint32_t> rvas_;
  std::string error_;
};

}  // namespace harness
