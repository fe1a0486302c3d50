#include "pe/MapFile.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace pe {

namespace {

// "?gBS@@3PEAUEFI_BOOT_SERVICES@@EA" -> "gBS"; "ModuleEntryPoint" stays.
// String literals ("??_C@...") and other compiler names yield nothing.
std::string PlainName(const std::string &symbol) {
  if (symbol.empty()) return {};
  if (symbol[0] != '?') return symbol;
  if (symbol.size() < 2 || symbol[1] == '?') return {};
  const size_t end = symbol.find('@', 1);
  return end == std::string::npos ? std::string() : symbol.substr(1, end - 1);
}

bool IsHex(const std::string &text) {
  return !text.empty() && text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

}  // namespace

bool MapFile::Read(const std::string &path) {
  rvas_.clear();
  names_.clear();
  board_.clear();
  std::error_code why;
  const auto kind = std::filesystem::status(path, why).type();
  if (kind == std::filesystem::file_type::not_found) {
    error_ = path + " is missing";
    return false;
  }
  if (kind == std::filesystem::file_type::directory) {
    error_ = path + " is a folder, not a linker map";
    return false;
  }
  std::ifstream in(path);
  if (!in || in.peek() == std::ifstream::traits_type::eof()) {
    error_ = in ? path + " is empty" : "cannot read the map " + path + ": " + std::strerror(errno);
    return false;
  }
  uint64_t base = 0;
  bool haveBase = false;
  std::string line;
  while (std::getline(in, line)) {
    const std::string boardText = "Board setting: ";
    if (line.rfind(boardText, 0) == 0) {
      const size_t equals = line.find(" = ", boardText.size());
      if (equals != std::string::npos)
        board_.emplace_back(line.substr(boardText.size(), equals - boardText.size()), line.substr(equals + 3));
      continue;
    }
    const std::string baseText = "Preferred load address is ";
    const size_t b = line.find(baseText);
    if (b != std::string::npos) {
      const std::string text = line.substr(b + baseText.size(), 16);
      if (text.size() == 16 && IsHex(text)) {
        base = std::stoull(text, nullptr, 16);
        haveBase = true;
      }
      continue;
    }
    // " 0003:00000038       ?PcdDebugPrintErrorLevel@@3IA 0000000140004038     AutoGen.cpp.obj"
    std::istringstream fields(line);
    std::string where, symbol, address;
    if (!(fields >> where >> symbol >> address) || where.size() != 13 || where[4] != ':' || address.size() != 16 ||
        !IsHex(address))
      continue;
    const std::string name = PlainName(symbol);
    if (!haveBase || name.empty()) continue;
    const uint64_t va = std::stoull(address, nullptr, 16);
    if (va >= base && va - base < (uint64_t{1} << 32)) {
      rvas_.emplace(name, static_cast<uint32_t>(va - base));
      names_.emplace(static_cast<uint32_t>(va - base), name);
    }
  }
  if (!haveBase) {
    error_ = path + " is not a linker map (it names no preferred load address)";
    return false;
  }
  return true;
}

std::optional<uint32_t> MapFile::Rva(const std::string &name) const {
  const auto it = rvas_.find(name);
  if (it == rvas_.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> MapFile::BoardSetting(const std::string &name) const {
  for (const auto &[key, value] : board_)
    if (key == name) return value;
  return std::nullopt;
}

std::optional<std::pair<std::string, uint32_t>> MapFile::Nearest(uint32_t rva) const {
  auto it = names_.upper_bound(rva);
  if (it == names_.begin()) return std::nullopt;
  --it;
  return std::make_pair(it->second, rva - it->first);
}

std::optional<uint32_t> PrintLevelRva(const std::string &imagePath, std::string &error) {
  const std::string path = MapPathFor(imagePath);
  MapFile map;
  if (!map.Read(path)) {
    error = "setting the print level needs the image's map, and " + map.Error();
    return std::nullopt;
  }
  const std::optional<uint32_t> rva = map.Rva("PcdDebugPrintErrorLevel");
  if (!rva) error = "cannot set the print level: no PcdDebugPrintErrorLevel in " + path;
  return rva;
}

std::string MapPathFor(const std::string &imagePath) {
  const size_t slash = imagePath.rfind('/');
  const size_t dot = imagePath.rfind('.');
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  return (hasExtension ? imagePath.substr(0, dot) : imagePath) + ".map";
}

}  // namespace pe
