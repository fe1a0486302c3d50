#include "sim/Platform.h"

#include <string>

namespace sim {

Platform::Platform() {
  bus.MapMem(kPciExpressBase, kPciExpressBase + kPciExpressSize - 1, &pciExpress);
  pci.Attach({0, 31, 0}, &lpc);
  bus.MapIo(PciConfigPorts::kAddressPort, PciConfigPorts::kDataPort + 3, &configPorts);
  bus.MapIo(Cmos::kIndexPort, Cmos::kDataPort, &cmos);
  bus.MapIo(SuperIo::kIndexPort, SuperIo::kDataPort, &superIo);
  bus.MapIo(kUartBase, kUartBase + 7, &uart);
  uart.SetUpAs8N1At115200();
  bus.afterAccess = [this] {
    clock.Advance(Clock::kAccessNs);
    DeliverPendingSmis();
  };
  Bus::SetCurrent(&bus);
}

Platform::~Platform() {
  if (Bus::Current() == &bus) Bus::SetCurrent(nullptr);
}

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
    bus.Mark("SMI " + std::to_string(smisDelivered_) + ": source " + std::to_string(source));
    firmware.Fire(source);
  }
  delivering_ = false;
}

void Platform::AttackerClearsGpioLock() {
  const uint32_t value = bus.Read(Space::Mem, kGpioLockAddress, 8);
  bus.Write(Space::Mem, kGpioLockAddress, 8, value & ~uint32_t{LpcBridge::kGpioLockBit});
}

}  // namespace sim
