#include "Attacks.h"

#include <cstdio>
#include <sstream>

namespace tool {

namespace {

std::string Hex(uint64_t v, int digits = 0) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(v));
  return text;
}

// What the attack did to the window, said after what the handler saw.
std::string Detail(attack::Kind kind, uint64_t base) {
  switch (kind) {
    case attack::kMoveWindow:
    case attack::kWindowAbove4G:
      return "the window moved to " + Hex(attack::WindowDuring(kind, base));
    case attack::kFakeWindow:
      return "the window moved to " + Hex(attack::WindowDuring(kind, base)) + ", a framebuffer put at " + Hex(base);
    case attack::kWindowOff:
      return "the window's decoding switched off";
    default:
      return "the window left in place";
  }
}

std::string Bytes(const std::vector<uint8_t> &bytes) {
  std::string text;
  for (size_t i = 0; i < bytes.size(); ++i) text += (i == 0 ? "" : ", ") + Hex(bytes[i], 2);
  return text;
}

}  // namespace

bool ParseAttacks(const std::string &text, std::vector<attack::Kind> &out, std::string &error) {
  std::stringstream names(text);
  std::string name;
  bool any = false;
  while (std::getline(names, name, ',')) {
    bool known = false;
    for (int k = 0; k < attack::kKinds; ++k)
      if (name == attack::kNames[k]) {
        out.push_back(static_cast<attack::Kind>(k));
        known = true;
      }
    if (!known) {
      error = "--attack takes clear, move-window, fake-window, window-above-4g or window-off (or several, "
              "comma-separated), not '" + name + "'";
      return false;
    }
    any = true;
  }
  if (!any) error = "--attack needs an attack's name";
  return any;
}

std::vector<std::string> AttackFindings(const AttackOutcome &o, uint64_t base) {
  std::vector<std::string> lines;
  const std::string name = attack::kNames[o.kind];
  if (o.smiMissing)
    lines.push_back(name + ": attempt " + std::to_string(o.rounds) + ": the unlock SMI was not taken");
  if (o.relocked < o.rounds) {
    std::string saw = o.memoryUnlogged ? "the handler made no access QEMU logs there (it logs none to plain memory or "
                                         "where nothing answers)"
                                       : "the handler made no access there";
    if (!o.handlerSeen) {
      saw = "what the handler did there is not known";
    } else if (!o.handlerReads.empty() || !o.handlerWrites.empty()) {
      saw = "the handler read " + (o.handlerReads.empty() ? std::string("nothing") : Bytes(o.handlerReads)) +
            " and wrote " + (o.handlerWrites.empty() ? std::string("nothing") : Bytes(o.handlerWrites));
    }
    const std::string where = o.kind == attack::kClear ? "the lock stayed clear at " + Hex(base + attack::kLockOffset)
                                                       : "the PCI Express window no longer decodes at " + Hex(base);
    lines.push_back(name + ": not defended: " + where + ": " + saw + " (" + Detail(o.kind, base) + "; attempt " +
                    std::to_string(o.rounds) + " left the lock clear)");
  }
  if (o.cf8Changed)
    lines.push_back(name + ": 0xCF8 not given back: the attacker left " + Hex(o.cf8Left, 8) + " there and found " +
                    Hex(*o.cf8Changed, 8) + " after the SMI");
  if (o.otherBitsChanged)
    lines.push_back(name + ": the lock's other bits changed: the byte read " + Hex(o.otherBitsChanged->first, 2) +
                    " before the clear and " + Hex(o.otherBitsChanged->second, 2) + " after the SMI");
  return lines;
}

std::string AttackSummary(const std::vector<AttackOutcome> &outcomes) {
  std::string text = "attacks:";
  for (size_t i = 0; i < outcomes.size(); ++i)
    text += std::string(i == 0 ? " " : ", ") + attack::kNames[outcomes[i].kind] +
            (outcomes[i].Defended() ? " defended" : " not defended");
  return text;
}

}  // namespace tool
