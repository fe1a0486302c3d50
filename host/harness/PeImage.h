// A PE32+ image as the firmware's loader sees it: headers, sections and base
// relocations, and the image laid out in memory at a chosen base.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace harness {

struct PeSection {
  std::string name;
  uint32_t rva = 0, virtualSize = 0, rawOffset = 0, rawSize = 0, characteristics = 0;
  bool Executable() const { return (characteristics & 0x20000000u) != 0; }  // IMAGE_SCN_MEM_EXECUTE
  bool Writable() const { return (characteristics & 0x80000000u) != 0; }    // IMAGE_SCN_MEM_WRITE
};

class PeImage {
 public:
  // Reads the headers; returns what is wrong, or an empty string.
  std::string Parse(const std::vector<uint8_t> &file);

  // The image as loaded at `base`: sections copied to their addresses, the
  // rest zero, every base relocation applied.  Returns what is wrong, or an
  // empty string.
  std::string Load(uint64_t base, std::vector<uint8_t> &memory) const;

  uint64_t PreferredBase() const { return preferredBase_; }
  uint32_t SizeOfImage() const { return sizeOfImage_; }
  uint32_t EntryRva() const { return entryRva_; }
  const std::vector<PeSection> &Sections() const { return sections_; }
  // How many relocations Load applied (and of which widths).
  size_t Relocations64() const { return relocations64_; }

 private:
  std::vector<uint8_t> file_;
  uint64_t preferredBase_ = 0;
  uint32_t sizeOfImage_ = 0, sizeOfHeaders_ = 0, entryRva_ = 0, relocRva_ = 0, relocSize_ = 0;
  std::vector<PeSection> sections_;
  mutable size_t relocations64_ = 0;
};

}  // namespace harness
