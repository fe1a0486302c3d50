#include "FirmwareFile.h"

#include <cstdio>
#include <cstring>

#include "pe/PeReader.h"

namespace packager {

namespace {

void Put16(Bytes &out, size_t at, uint16_t v) {
  out[at] = static_cast<uint8_t>(v);
  out[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put24(Bytes &out, size_t at, uint32_t v) {
  out[at] = static_cast<uint8_t>(v);
  out[at + 1] = static_cast<uint8_t>(v >> 8);
  out[at + 2] = static_cast<uint8_t>(v >> 16);
}
void Put32(Bytes &out, size_t at, uint32_t v) {
  Put16(out, at, static_cast<uint16_t>(v));
  Put16(out, at + 2, static_cast<uint16_t>(v >> 16));
}
void Put64(Bytes &out, size_t at, uint64_t v) {
  Put32(out, at, static_cast<uint32_t>(v));
  Put32(out, at + 4, static_cast<uint32_t>(v >> 32));
}
void PutGuid(Bytes &out, size_t at, const EFI_GUID &g) {
  Put32(out, at, g.Data1);
  Put16(out, at + 4, g.Data2);
  Put16(out, at + 6, g.Data3);
  std::memcpy(&out[at + 8], g.Data4, 8);
}

size_t AlignUp(size_t v, size_t a) { return (v + a - 1) / a * a; }

// A section: the 4-byte common header (24-bit size, type) and its body.
Bytes Section(uint8_t type, const uint8_t *body, size_t size) {
  Bytes out(4 + size);
  Put24(out, 0, static_cast<uint32_t>(out.size()));
  out[3] = type;
  if (size != 0) std::memcpy(&out[4], body, size);
  return out;
}

}  // namespace

uint8_t Sum8(const uint8_t *data, size_t size) {
  uint8_t sum = 0;
  for (size_t i = 0; i < size; ++i) sum = static_cast<uint8_t>(sum + data[i]);
  return sum;
}

uint16_t Sum16(const uint8_t *data, size_t size) {
  uint16_t sum = 0;
  for (size_t i = 0; i + 1 < size; i += 2) sum = static_cast<uint16_t>(sum + (data[i] | data[i + 1] << 8));
  return sum;
}

std::string GuidText(const EFI_GUID &g) {
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

std::string CheckPe32PlusImage(const Bytes &image) {
  pe::Headers headers;
  if (const char *error = pe::CheckLoadableImage(image.data(), image.size(), headers))
    return std::string("not a loadable driver image: ") + error;
  if (const char *error = pe::CheckDriverImage(image.data(), image.size(), headers))
    return std::string("not packed: the image breaks a property of the module's image: ") + error;
  if (image.size() + 4 > kMaxSectionSize) return "image too large for a PE32 section (16 MiB or more)";
  return {};
}

Bytes BuildModuleFile(const Bytes &image, const EFI_GUID &name, const std::u16string &uiName, std::string &error) {
  error = CheckPe32PlusImage(image);
  if (!error.empty()) return {};
  if (uiName.empty() || uiName.find(u'\0') != std::u16string::npos) {
    error = "the user-interface name must be non-empty text";
    return {};
  }

  uint8_t depex[1 + sizeof(EFI_GUID) + 1];
  depex[0] = kDepexPush;
  Bytes guid(sizeof(EFI_GUID));
  PutGuid(guid, 0, kSmiSourceDispatchGuid);
  std::memcpy(&depex[1], guid.data(), guid.size());
  depex[sizeof depex - 1] = kDepexEnd;

  Bytes ui;
  for (char16_t c : uiName) {
    ui.push_back(static_cast<uint8_t>(c));
    ui.push_back(static_cast<uint8_t>(c >> 8));
  }
  ui.push_back(0);
  ui.push_back(0);

  // Sections follow each other 4-byte aligned; the padding belongs to no
  // section and is zero.
  Bytes body;
  for (const Bytes &section :
       {Section(kSectionSmmDepex, depex, sizeof depex), Section(kSectionPe32, image.data(), image.size()),
        Section(kSectionUserInterface, ui.data(), ui.size())}) {
    body.resize(AlignUp(body.size(), 4), 0);
    body.insert(body.end(), section.begin(), section.end());
  }

  const size_t fileSize = kFileHeaderSize + body.size();
  if (fileSize > kMaxSectionSize) {
    error = "firmware file too large (16 MiB or more)";
    return {};
  }
  Bytes file(kFileHeaderSize);
  PutGuid(file, 0, name);
  file[18] = kFileTypeSmm;
  file[19] = kFileAttributeChecksum;
  Put24(file, 20, static_cast<uint32_t>(fileSize));
  // Header checksum: the header's bytes sum to zero, counting the state and
  // the data checksum as zero.
  file[16] = static_cast<uint8_t>(-Sum8(file.data(), kFileHeaderSize));
  // Data checksum over everything after the header.
  file[17] = static_cast<uint8_t>(-Sum8(body.data(), body.size()));
  file[23] = static_cast<uint8_t>(~kFileStateValid);  // erase polarity 1
  file.insert(file.end(), body.begin(), body.end());
  return file;
}

Bytes BuildVolume(const std::vector<Bytes> &files, std::string &error) {
  error.clear();
  size_t used = kVolumeHeaderSize;
  for (const Bytes &f : files) {
    if (f.size() < kFileHeaderSize || static_cast<size_t>(f[20] | f[21] << 8 | f[22] << 16) != f.size()) {
      error = "a firmware file's size field does not match its length";
      return {};
    }
    used = AlignUp(used, 8) + f.size();
  }
  const size_t blocks = AlignUp(used, kVolumeBlockSize) / kVolumeBlockSize;
  if (blocks > 0xFFFFFFFFu) {
    error = "volume too large";
    return {};
  }

  Bytes fv(blocks * kVolumeBlockSize, 0xFF);
  std::memset(fv.data(), 0, kVolumeHeaderSize);  // zero vector, and the header's fields
  PutGuid(fv, 16, kFfs2FileSystemGuid);
  Put64(fv, 32, fv.size());
  Put32(fv, 40, kVolumeSignature);
  Put32(fv, 44, kVolumeAttributes);
  Put16(fv, 48, static_cast<uint16_t>(kVolumeHeaderSize));
  // 50: checksum, 52: no extended header, 54: reserved.
  fv[55] = 2;  // revision
  Put32(fv, 56, static_cast<uint32_t>(blocks));
  Put32(fv, 60, kVolumeBlockSize);
  // 64..71: the block map's zero terminator.
  Put16(fv, 50, static_cast<uint16_t>(-Sum16(fv.data(), kVolumeHeaderSize)));

  size_t at = kVolumeHeaderSize;
  for (const Bytes &f : files) {
    at = AlignUp(at, 8);  // the gap stays 0xFF, as erased flash reads
    std::memcpy(&fv[at], f.data(), f.size());
    at += f.size();
  }
  return fv;
}

}  // namespace packager
