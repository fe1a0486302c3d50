// Reads a file the tools were asked to take as an image (or write next to
// one), with the reason in words when it cannot: missing, a folder, empty,
// unreadable.  No exception leaves it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pe {

// The whole file; false with `error` set ("/tmp: is a folder, not a file").
bool ReadImageFile(const std::string &path, std::vector<uint8_t> &out, std::string &error);

}  // namespace pe
