// The simulated platform: the bus, the chipset's PCI Express window with its
// LPC bridge, and the fake firmware, wired so that an SMI the chipset raises
// reaches the handlers registered with the SMI-source dispatcher.  The legacy
// devices of the debug console sit on the bus too: the configuration ports
// 0xCF8/0xCFC (same configuration space as the window), CMOS at 0x70/0x71,
// the Super I/O at 0x370/0x371 (or where the board has it, or nowhere) and
// the UART at 0x3F8.  Each bus access
// advances the simulated clock by Clock::kAccessNs.
//
// A Platform built from a board's layout (BoardLayout.h) puts the window and
// the debug UART where that board has them: an I/O or memory-mapped UART at
// the board's base, or a PCI UART behind the board's bridges (created here,
// bus numbers counted from 1, each window 1 MiB of memory or 4 KiB of ports
// around the UART's base, the UART's BAR empty), and CMOS selecting the
// board's rate.  The default layout is the configured board's.
//
// Constructing a Platform makes its bus the one the module's register access
// reaches; only one Platform is live at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "sim/BoardLayout.h"
#include "sim/Bus.h"
#include "sim/Clock.h"
#include "sim/Cmos.h"
#include "sim/FakeFirmware.h"
#include "sim/HostBridge.h"
#include "sim/Pci.h"
#include "sim/PciConfigPorts.h"
#include "sim/SuperIo.h"
#include "sim/Uart16550.h"

namespace sim {

class PciBridge;
class PciUart;

class Platform {
 public:
  explicit Platform(const BoardLayout &layout = {});
  ~Platform();
  Platform(const Platform &) = delete;
  Platform &operator=(const Platform &) = delete;

  Bus bus;
  PciSegment pci;
  PciExpressWindow pciExpress{pci};
  // The host bridge: its PCIEXBAR puts the window (at the board's base at power-on).
  HostBridge host{[this] { PlaceWindow(); }};
  // A display adapter's framebuffer: nowhere until software places it (PlaceFramebuffer).
  MemoryBar framebuffer;
  LpcBridge lpc{[this](uint32_t source) { pendingSmis_.push_back(source); }};
  FakeFirmware firmware;

  // The debug console's devices; their fault switches are public members.
  Clock clock;
  PciConfigPorts configPorts{pci};
  Cmos cmos;              // selector byte 0x6F is 0x00: 115200 baud
  SuperIo superIo;        // serial logical devices 2 and 3 inactive, as after reset
  Uart16550 uart{clock};  // as an earlier boot stage left it: 8N1 at 115200, FIFOs on
  static constexpr uint16_t kUartBase = 0x3F8;

  const BoardLayout &Layout() const { return layout_; }
  // The debug UART: `uart` at the board's base, or the PCI UART's.
  Uart16550 &Console();
  // The PCI UART and its bridges, on a board that has them (else null / empty).
  PciUart *ConsolePciUart() { return pciUart_.get(); }
  const std::vector<std::unique_ptr<PciBridge>> &ConsoleBridges() const { return bridges_; }

  // Makes the legacy devices answer only as the chipset and Super I/O route
  // them, as after a cold reset: ports 0x370-0x377 need the LPC bridge's
  // floppy range at 0x370 (register 0x80 bit 12) enabled (0x82 bit 3); the
  // UART at 0x3F8 needs COM A decoded at 0x3F8 (0x80 bits 0-2 zero, 0x82
  // bit 0) and logical device 2 active at base 0x3F8.  Off by default: the
  // platform then behaves as if an earlier stage had opened everything.
  void EnforceLegacyDecode();

  // Where PCIEXBAR puts the window now, or nothing when decoding is off.
  std::optional<uint64_t> WindowBase() const { return host.WindowBase(); }
  // Maps the framebuffer's memory at `base` (a BAR software programmed), or unmaps it.
  void PlaceFramebuffer(std::optional<uint64_t> base);
  // True while an SMI's handlers run.
  bool InSmi() const { return delivering_; }

  // SMIs dispatched so far (each delivered source counts once, handlers or not).
  int SmisDelivered() const { return smisDelivered_; }
  // SMIs raised while handlers kept raising more, past kMaxSmisPerAccess
  // deliveries for one access, and dropped.
  int SmisDropped() const { return smisDropped_; }
  static constexpr int kMaxSmisPerAccess = 1000;

  // Software on the platform (not the module): clears the GPIO lock through
  // the PCI Express window, as an attacker would.
  void AttackerClearsGpioLock();

  static constexpr uint64_t kGpioLockAddress = kPciExpressBase + GPIO_LOCK_REGISTER_OFFSET;  // on the configured board
  uint64_t GpioLockAddress() const { return layout_.GpioLockAddress(); }

 private:
  void PlaceConsole();
  void PlaceWindow();
  void DeliverPendingSmis();

  BoardLayout layout_;
  std::vector<std::unique_ptr<PciBridge>> bridges_;
  std::unique_ptr<PciUart> pciUart_;
  std::vector<uint32_t> pendingSmis_;
  int smisDelivered_ = 0;
  int smisDropped_ = 0;
  bool delivering_ = false;
};

}  // namespace sim
