// The simulated platform: the bus, the chipset's PCI Express window with its
// LPC bridge, and the fake firmware, wired so that an SMI the chipset raises
// reaches the handlers registered with the SMI-source dispatcher.
//
// Constructing a Platform makes its bus the one the module's register access
// reaches; only one Platform is live at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/Bus.h"
#include "sim/FakeFirmware.h"
#include "sim/Pci.h"

namespace sim {

class Platform {
 public:
  Platform();
  ~Platform();
  Platform(const Platform &) = delete;
  Platform &operator=(const Platform &) = delete;

  Bus bus;
  PciSegment pci;
  PciExpressWindow pciExpress{pci};
  LpcBridge lpc{[this](uint32_t source) { pendingSmis_.push_back(source); }};
  FakeFirmware firmware;

  // SMIs dispatched so far (each delivered source counts once, handlers or not).
  int SmisDelivered() const { return smisDelivered_; }

  // Software on the platform (not the module): clears the GPIO lock through
  // the PCI Express window, as an attacker would.
  void AttackerClearsGpioLock();

  static constexpr uint64_t kGpioLockAddress = kPciExpressBase + 0xF804C;

 private:
  void DeliverPendingSmis();

  std::vector<uint32_t> pendingSmis_;
  int smisDelivered_ = 0;
  bool delivering_ = false;
};

}  // namespace sim
