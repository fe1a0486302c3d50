// "0x7F100000": addresses and values in the harness's messages.
#pragma once

#include <cinttypes>
#include <cstdio>
#include <string>

namespace harness {

inline std::string Hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%" PRIX64, v);
  return text;
}

}  // namespace harness
