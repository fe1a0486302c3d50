#include "sim/Platform.h"

#include <string>

#include "sim/PciBridge.h"
#include "sim/PciUart.h"

namespace sim {

Platform::Platform(const BoardLayout &layout) : layout_(layout) {
  pci.Attach({0, 0, 0}, &host);
  host.SetPciExBar(layout_.pciExpressBase | HostBridge::kEnable);  // maps the window
  pci.Attach({0, 31, 0}, &lpc);
  bus.MapIo(PciConfigPorts::kAddressPort, PciConfigPorts::kDataPort + 3, &configPorts);
  bus.MapIo(Cmos::kIndexPort, Cmos::kDataPort, &cmos);
  if (layout_.superIoIndexPort != 0)
    bus.MapIo(layout_.superIoIndexPort, static_cast<uint16_t>(layout_.superIoIndexPort + 1), &superIo);
  cmos.Byte(Cmos::kSerialBaudIndex) = layout_.cmosSerialBaud;
  PlaceConsole();
  bus.afterAccess = [this] {
    clock.Advance(Clock::kAccessNs);
    DeliverPendingSmis();
  };
  Bus::SetCurrent(&bus);
}

Platform::~Platform() {
  if (Bus::Current() == &bus) Bus::SetCurrent(nullptr);
}

void Platform::PlaceConsole() {
  if (layout_.pciPath.empty()) {
    if (layout_.uartMmio) {
      bus.MapMem(layout_.uartBase, layout_.uartBase + 7, &uart);
    } else {
      bus.MapIo(static_cast<uint16_t>(layout_.uartBase), static_cast<uint16_t>(layout_.uartBase + 7), &uart);
    }
    uart.SetUpAs8N1At115200();
    return;
  }
  // Bridges on buses 0, 1, ... each forwarding the next bus and a window
  // around the UART's base; the UART on the last bus, its BAR empty.
  const uint8_t lastBus = static_cast<uint8_t>(layout_.pciPath.size() - 1);
  const uint32_t base = static_cast<uint32_t>(layout_.uartBase);
  for (uint8_t i = 0; i < lastBus; ++i) {
    const BoardLayout::PciHop &hop = layout_.pciPath[i];
    auto bridge =
        std::make_unique<PciBridge>("BRIDGE" + std::to_string(i), /*io32=*/false, hop.powerManagementRegister);
    bridge->SetBuses(i, static_cast<uint8_t>(i + 1), lastBus);
    if (layout_.uartMmio) {
      bridge->SetMemoryWindow(base & ~0xFFFFFu, base | 0xFFFFFu);
    } else {
      bridge->SetIoWindow(base & ~0xFFFu, base | 0xFFFu);
    }
    pci.Attach({i, hop.device, hop.function}, bridge.get());
    bridges_.push_back(std::move(bridge));
  }
  const BoardLayout::PciHop &hop = layout_.pciPath.back();
  using Bar = PciUart::Bar;
  pciUart_ = std::make_unique<PciUart>("PCIUART", bus, clock,
                                       std::array<Bar, 6>{layout_.uartMmio ? Bar::Mem32 : Bar::Io, Bar::None, Bar::None,
                                                          Bar::None, Bar::None, Bar::None},
                                       0, hop.powerManagementRegister);
  pci.Attach({lastBus, hop.device, hop.function}, pciUart_.get());
  pciUart_->uart.SetUpAs8N1At115200();
}

void Platform::PlaceWindow() {
  bus.Unmap(&pciExpress);
  if (const std::optional<uint64_t> base = host.WindowBase())
    bus.MapMem(*base, *base + host.WindowSize() - 1, &pciExpress);
}

void Platform::PlaceFramebuffer(std::optional<uint64_t> base) {
  bus.Unmap(&framebuffer);
  if (base) bus.MapMem(*base, *base + MemoryBar::kSize - 1, &framebuffer);
}

Uart16550 &Platform::Console() { return pciUart_ ? pciUart_->uart : uart; }

void Platform::EnforceLegacyDecode() {
  superIo.decoded = [this] {
    const uint16_t ranges = lpc.Word(0x80), enables = lpc.Word(0x82);
    return (enables & 0x0008) != 0 && (ranges & 0x1000) != 0;
  };
  uart.decoded = [this] {
    const uint16_t ranges = lpc.Word(0x80), enables = lpc.Word(0x82);
    return (enables & 0x0001) != 0 && (ranges & 0x0007) == 0 && superIo.Active(2) && superIo.IoBase(2) == kUartBase;
  };
}

void Platform::DeliverPendingSmis() {
  // An SMI is taken at the boundary of the instruction that raised it; the
  // handler's own accesses run to completion before the next one is taken.
  if (delivering_) return;
  delivering_ = true;
  // A handler that raises the SMI it handles would otherwise be re-entered
  // forever; past the bound the rest are dropped and counted.
  int delivered = 0;
  while (!pendingSmis_.empty()) {
    const uint32_t source = pendingSmis_.front();
    pendingSmis_.erase(pendingSmis_.begin());
    if (delivered == kMaxSmisPerAccess) {
      ++smisDropped_;
      continue;
    }
    ++delivered;
    ++smisDelivered_;
    if (bus.Marked()) bus.Mark("SMI " + std::to_string(smisDelivered_) + ": source " + std::to_string(source));
    firmware.Fire(source);
  }
  delivering_ = false;
}

void Platform::AttackerClearsGpioLock() {
  const uint32_t value = bus.Read(Space::Mem, GpioLockAddress(), 8);
  bus.Write(Space::Mem, GpioLockAddress(), 8, value & ~uint32_t{LpcBridge::kGpioLockBit});
}

}  // namespace sim
