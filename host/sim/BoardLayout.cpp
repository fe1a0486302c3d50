#include "sim/BoardLayout.h"

#include <cstdlib>
#include <map>
#include <sstream>

namespace sim {

namespace {

bool Number(const std::string &text, uint64_t &out) {
  if (text.empty()) return false;
  char *end = nullptr;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  out = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
  return end != nullptr && *end == '\0';
}

}  // namespace

std::vector<PciHop> PciPathFrom(const uint8_t *deviceInfo, size_t size) {
  std::vector<PciHop> path;
  for (size_t at = 0; at + 4 <= size && deviceInfo[at] != 0xFF; at += 4)
    path.push_back(
        {deviceInfo[at], deviceInfo[at + 1], static_cast<uint16_t>(deviceInfo[at + 2] | deviceInfo[at + 3] << 8)});
  return path;
}

bool BoardLayoutFrom(const std::vector<std::pair<std::string, std::string>> &settings, BoardLayout &out,
                     std::string &error) {
  std::map<std::string, std::string> s(settings.begin(), settings.end());
  auto need = [&](const char *name) -> const std::string * {
    const auto it = s.find(name);
    if (it == s.end()) {
      error = std::string("the board settings name no ") + name;
      return nullptr;
    }
    return &it->second;
  };
  auto number = [&](const char *name, uint64_t &value) {
    const std::string *text = need(name);
    if (text == nullptr) return false;
    if (!Number(*text, value)) {
      error = std::string("the board setting ") + name + " = " + *text + " is not a number";
      return false;
    }
    return true;
  };
  BoardLayout layout;
  uint64_t baud = 0;
  const std::string *name = need("Board");
  const std::string *mmio = need("SerialUseMmio");
  const std::string *path = need("SerialPciDeviceInfo");
  if (name == nullptr || mmio == nullptr || path == nullptr ||
      !number("PciExpressBaseAddress", layout.pciExpressBase) || !number("SerialRegisterBase", layout.uartBase) ||
      !number("SerialBaudRate", baud))
    return false;
  layout.name = *name;
  layout.uartMmio = *mmio == "TRUE";

  std::stringstream entries(*path);
  std::string entry;
  bool ended = false;
  while (std::getline(entries, entry, ',')) {
    std::stringstream fields(entry);
    std::string device, function, pm;
    fields >> device;
    if (device == "END") {
      ended = true;
      break;
    }
    uint64_t d = 0, f = 0, p = 0;
    if (!(fields >> function >> pm) || !Number(device, d) || !Number(function, f) || !Number(pm, p)) {
      error = "the board setting SerialPciDeviceInfo = " + *path + " is not a path";
      return false;
    }
    layout.pciPath.push_back({static_cast<uint8_t>(d), static_cast<uint8_t>(f), static_cast<uint16_t>(p)});
  }
  if (!ended) {
    error = "the board setting SerialPciDeviceInfo = " + *path + " has no END";
    return false;
  }
  layout.cmosSerialBaud = CmosBaudSelector(baud);
  if (layout.cmosSerialBaud == 0xFF) {
    error = "the board setting SerialBaudRate = " + std::to_string(baud) + " is not a rate CMOS can select";
    return false;
  }
  // Images built before the Super I/O was a setting have it at 0x370.
  const auto superIo = s.find("SuperIoIndexPort");
  if (superIo != s.end() && superIo->second != "NONE") {
    uint64_t port = 0;
    if (!Number(superIo->second, port) || port == 0 || port > 0xFFFE) {
      error = "the board setting SuperIoIndexPort = " + superIo->second + " is not a port";
      return false;
    }
    layout.superIoIndexPort = static_cast<uint16_t>(port);
  } else {
    layout.superIoIndexPort = superIo != s.end() ? 0 : 0x370;
  }
  if (s.count("PciExpressBarRegister") != 0 || s.count("PciExpressBarMask") != 0) {
    uint64_t reg = 0;
    if (!number("PciExpressBarRegister", reg) || !number("PciExpressBarMask", layout.barMask)) return false;
    layout.windowCheck = true;
    layout.barRegister = static_cast<uint32_t>(reg);
  }
  out = layout;
  return true;
}

}  // namespace sim
