#include "harness/PeImage.h"

#include <cstring>

namespace harness {

namespace {

uint16_t Get16(const std::vector<uint8_t> &b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
uint32_t Get32(const std::vector<uint8_t> &b, size_t at) {
  return Get16(b, at) | static_cast<uint32_t>(Get16(b, at + 2)) << 16;
}
uint64_t Get64(const std::vector<uint8_t> &b, size_t at) {
  return Get32(b, at) | static_cast<uint64_t>(Get32(b, at + 4)) << 32;
}
bool Fits(size_t size, uint64_t at, uint64_t length) { return at <= size && length <= size - at; }

constexpr uint16_t kMachineX64 = 0x8664;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kDirectoryBaseReloc = 5;
constexpr uint32_t kMaxImageSize = 64u << 20;  // far beyond any driver; keeps a bad header from allocating gigabytes

// Base relocation types.
constexpr int kRelAbsolute = 0;
constexpr int kRelHighLow = 3;
constexpr int kRelDir64 = 10;

}  // namespace

std::string PeImage::Parse(const std::vector<uint8_t> &file) {
  file_ = file;
  sections_.clear();
  if (file.size() < 0x40 || Get16(file, 0) != 0x5A4D) return "no MZ header";
  const uint32_t pe = Get32(file, 0x3C);
  if (!Fits(file.size(), pe, 24) || Get32(file, pe) != 0x00004550) return "no PE signature";
  if (Get16(file, pe + 4) != kMachineX64) return "not an x86-64 image";
  const uint16_t sectionCount = Get16(file, pe + 6);
  const uint16_t optionalSize = Get16(file, pe + 20);
  const size_t opt = pe + 24;
  if (optionalSize < 112 || !Fits(file.size(), opt, optionalSize)) return "truncated optional header";
  if (Get16(file, opt) != kPe32PlusMagic) return "not a PE32+ image";
  entryRva_ = Get32(file, opt + 16);
  preferredBase_ = Get64(file, opt + 24);
  sizeOfImage_ = Get32(file, opt + 56);
  sizeOfHeaders_ = Get32(file, opt + 60);
  const uint32_t directoryCount = Get32(file, opt + 108);
  if (sizeOfImage_ == 0 || sizeOfImage_ > kMaxImageSize) return "implausible image size";
  if (sizeOfHeaders_ > file.size() || sizeOfHeaders_ > sizeOfImage_) return "implausible header size";
  if (directoryCount > kDirectoryBaseReloc && optionalSize >= 112 + 8 * (kDirectoryBaseReloc + 1)) {
    relocRva_ = Get32(file, opt + 112 + 8 * kDirectoryBaseReloc);
    relocSize_ = Get32(file, opt + 112 + 8 * kDirectoryBaseReloc + 4);
  }
  const size_t table = opt + optionalSize;
  if (!Fits(file.size(), table, uint64_t{sectionCount} * 40)) return "truncated section table";
  for (uint16_t i = 0; i < sectionCount; ++i) {
    const size_t s = table + i * 40u;
    PeSection section;
    section.name.assign(reinterpret_cast<const char *>(&file[s]), strnlen(reinterpret_cast<const char *>(&file[s]), 8));
    section.virtualSize = Get32(file, s + 8);
    section.rva = Get32(file, s + 12);
    section.rawSize = Get32(file, s + 16);
    section.rawOffset = Get32(file, s + 20);
    section.characteristics = Get32(file, s + 36);
    if (!Fits(sizeOfImage_, section.rva, section.virtualSize))
      return "section " + section.name + " lies outside the image";
    if (!Fits(file.size(), section.rawOffset, section.rawSize))
      return "section " + section.name + " lies outside the file";
    sections_.push_back(section);
  }
  if (entryRva_ >= sizeOfImage_) return "entry point outside the image";
  if (!Fits(sizeOfImage_, relocRva_, relocSize_)) return "relocations outside the image";
  return {};
}

std::string PeImage::Load(uint64_t base, std::vector<uint8_t> &memory) const {
  memory.assign(sizeOfImage_, 0);
  std::memcpy(memory.data(), file_.data(), sizeOfHeaders_);
  for (const PeSection &s : sections_) {
    const uint32_t copy = s.rawSize < s.virtualSize ? s.rawSize : s.virtualSize;
    std::memcpy(&memory[s.rva], &file_[s.rawOffset], copy);
  }

  relocations64_ = 0;
  const uint64_t delta = base - preferredBase_;
  size_t at = relocRva_;
  const size_t end = size_t{relocRva_} + relocSize_;
  while (at + 8 <= end) {
    const uint32_t page = Get32(memory, at);
    const uint32_t blockSize = Get32(memory, at + 4);
    if (blockSize < 8 || blockSize > end - at || (blockSize & 1) != 0) return "malformed relocation block";
    for (size_t e = at + 8; e + 2 <= at + blockSize; e += 2) {
      const uint16_t entry = Get16(memory, e);
      const int type = entry >> 12;
      const uint64_t target = uint64_t{page} + (entry & 0xFFF);
      if (type == kRelAbsolute) continue;
      if (type == kRelDir64) {
        if (!Fits(memory.size(), target, 8)) return "relocation outside the image";
        const uint64_t v = Get64(memory, target) + delta;
        std::memcpy(&memory[target], &v, 8);
        ++relocations64_;
      } else if (type == kRelHighLow) {
        if (!Fits(memory.size(), target, 4)) return "relocation outside the image";
        const uint32_t v = Get32(memory, target) + static_cast<uint32_t>(delta);
        std::memcpy(&memory[target], &v, 4);
      } else {
        return "unsupported relocation type " + std::to_string(type);
      }
    }
    at += blockSize;
  }
  return {};
}

}  // namespace harness
