// Shared set-up for the tests that run the built image: where it and its map
// are, and a platform with the image booted on it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "harness/ImageRun.h"
#include "pe/MapFile.h"
#include "sim/Platform.h"

namespace realimage {

inline std::string ImagePath() { return VEXA_IMAGE_PATH; }
inline std::string MapPath() {
  std::string p = ImagePath();
  return p.substr(0, p.size() - 4) + ".map";
}

// Settings a scenario varies before the entry point runs.
struct BootSettings {
  uint32_t printLevel = 0;     // the module's print-level variable
  uint8_t cmosSelector = 0;    // CMOS byte 0x6F (baud rate in bits 1-2)
  bool uartFromReset = false;  // the UART as reset leaves it, so the module programs it
  bool smmBase2Missing = false;
  bool dispatcherMissing = false;
};

inline void Configure(sim::Platform &platform, const BootSettings &setup) {
  platform.cmos.Byte(0x6F) = setup.cmosSelector;
  if (setup.uartFromReset) platform.uart.PowerOnReset();
  if (setup.smmBase2Missing) platform.firmware.smmBase2Present = false;
  if (setup.dispatcherMissing) platform.firmware.smiSourceDispatchPresent = false;
}

// The image, loaded on `platform`, with its print level set.
struct Booted {
  std::unique_ptr<harness::ImageRun> run;
  pe::MapFile map;
  EFI_STATUS status = 0;
};

// `image`: another build of the image (its map beside it); empty: this build's.
inline ::testing::AssertionResult LoadImage(sim::Platform &platform, Booted &b, const BootSettings &setup = {},
                                            const std::string &image = {}) {
  b.run = std::make_unique<harness::ImageRun>(platform);
  const std::string path = image.empty() ? ImagePath() : image;
  if (!b.run->Load(path)) return ::testing::AssertionFailure() << b.run->Fault();
  if (!b.map.Read(pe::MapPathFor(path))) return ::testing::AssertionFailure() << b.map.Error();
  const auto level = b.map.Rva("PcdDebugPrintErrorLevel");
  if (!level) return ::testing::AssertionFailure() << "no PcdDebugPrintErrorLevel in the map";
  if (!b.run->WriteGuest(harness::kImageBase + *level, &setup.printLevel, 4))
    return ::testing::AssertionFailure() << "cannot set the print level";
  Configure(platform, setup);
  return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult Boot(sim::Platform &platform, Booted &b, const BootSettings &setup = {},
                                       const std::string &image = {}) {
  ::testing::AssertionResult loaded = LoadImage(platform, b, setup, image);
  if (!loaded) return loaded;
  b.status = b.run->RunEntryPoint();
  if (!b.run->Fault().empty()) return ::testing::AssertionFailure() << "harness fault: " << b.run->Fault();
  return ::testing::AssertionSuccess();
}

// The guest address of the handler the image registered (0 if none).
inline uint64_t RegisteredHandler(const sim::Platform &platform) {
  for (const auto &r : platform.firmware.Registrations())
    if (r.source == sim::LpcBridge::kGpioUnlockSmiSource) return r.guestHandler;
  return 0;
}

}  // namespace realimage
