// The simulated platform's bus.
//
// Every port and memory access the module makes on the host arrives here as
// one call (the host back end of the lowest access level).  The bus routes it
// by address to a device model and records it, in order, as
// {space, read/write, width, address, value, device}.  Later mappings shadow
// earlier ones, so a test can overlay a single register with a scripted model.
// Accesses nothing answers read as all ones and are recorded with no device.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

enum class Space : uint8_t { Io, Mem };
enum class Dir : uint8_t { Read, Write };

class Device {
 public:
  virtual ~Device() = default;
  virtual const char *Name() const = 0;
  // Width is 1, 2 or 4 bytes; Offset is relative to the start of the mapping.
  virtual uint32_t Read(Space space, uint64_t offset, int width) = 0;
  virtual void Write(Space space, uint64_t offset, int width, uint32_t value) = 0;
  // A register name for decoded traces ("LCR"); empty when the model has none.
  // The bus asks just before the access reaches the model, so a name may
  // depend on the model's state at that moment (the UART's DLAB, the Super
  // I/O's selected register).
  virtual std::string RegisterName(Space space, uint64_t offset, Dir dir) const { return {}; }
  // What a written value means, for decoded traces ("'A'" for a byte sent,
  // "0:31.0 reg 0x80" for a configuration address); empty for most.
  virtual std::string Note(Space space, uint64_t offset, Dir dir, uint32_t value) const { return {}; }
};

struct Access {
  Space space;
  Dir dir;
  int width;  // bits: 8, 16 or 32
  uint64_t address;
  uint32_t value;
  const Device *device = nullptr;  // filled in by the bus
  uint64_t offset = 0;             // from the start of the device's mapping
  std::string reg;                 // the register's name when the access was made
  std::string note;                // what the value meant (Device::Note)

  bool operator==(const Access &o) const {
    return space == o.space && dir == o.dir && width == o.width && address == o.address && value == o.value;
  }
};

class Bus {
 public:
  void MapIo(uint16_t first, uint16_t last, Device *device);
  void MapMem(uint64_t first, uint64_t last, Device *device);
  void Unmap(Device *device);

  uint32_t Read(Space space, uint64_t address, int widthBits);
  void Write(Space space, uint64_t address, int widthBits, uint32_t value);

  // Whether the bus keeps every access in Trace() (on by default).  A long
  // run turns it off and watches the accesses through onAccess instead.
  bool recording = true;
  const std::vector<Access> &Trace() const { return trace_; }
  void ClearTrace() { trace_.clear(); }
  // Called with every access once it is complete, recorded or not.
  std::function<void(const Access &)> onAccess;
  // Whether anyone sees the accesses: only then are register names and notes
  // looked up (a long run that keeps nothing builds no text per access).
  bool Watched() const { return recording || onAccess != nullptr; }
  // A note between accesses for whoever watches them ("SMI 1: source 48");
  // a caller that builds the text first asks whether anyone listens.
  bool Marked() const { return onMark != nullptr; }
  void Mark(const std::string &text) {
    if (onMark) onMark(text);
  }
  std::function<void(const std::string &)> onMark;
  // Accesses that reached one device, in order.
  std::vector<Access> TraceOf(const Device *device) const;

  // Called after every access completes, outside any device model: the
  // platform uses it to deliver an SMI that the access raised.
  std::function<void()> afterAccess;

  // The bus the module's lowest access level reaches on the host.
  static Bus *Current();
  static void SetCurrent(Bus *bus);

 private:
  struct Mapping {
    Space space;
    uint64_t first, last;
    Device *device;
  };
  const Mapping *Find(Space space, uint64_t address) const;
  void Finish(Access access);

  std::vector<Mapping> mappings_;
  std::vector<Access> trace_;
  int depth_ = 0;
};

// Builders for expected traces: IoW8(0x3FB, 0x80), MemR8(0x800F804C, 0x01), ...
inline Access IoR8(uint64_t a, uint32_t v) { return {Space::Io, Dir::Read, 8, a, v, nullptr, 0, {}, {}}; }
inline Access IoW8(uint64_t a, uint32_t v) { return {Space::Io, Dir::Write, 8, a, v, nullptr, 0, {}, {}}; }
inline Access IoR32(uint64_t a, uint32_t v) { return {Space::Io, Dir::Read, 32, a, v, nullptr, 0, {}, {}}; }
inline Access IoW32(uint64_t a, uint32_t v) { return {Space::Io, Dir::Write, 32, a, v, nullptr, 0, {}, {}}; }
inline Access MemR8(uint64_t a, uint32_t v) { return {Space::Mem, Dir::Read, 8, a, v, nullptr, 0, {}, {}}; }
inline Access MemW8(uint64_t a, uint32_t v) { return {Space::Mem, Dir::Write, 8, a, v, nullptr, 0, {}, {}}; }
inline Access MemR16(uint64_t a, uint32_t v) { return {Space::Mem, Dir::Read, 16, a, v, nullptr, 0, {}, {}}; }
inline Access MemW16(uint64_t a, uint32_t v) { return {Space::Mem, Dir::Write, 16, a, v, nullptr, 0, {}, {}}; }
inline Access MemR32(uint64_t a, uint32_t v) { return {Space::Mem, Dir::Read, 32, a, v, nullptr, 0, {}, {}}; }
inline Access MemW32(uint64_t a, uint32_t v) { return {Space::Mem, Dir::Write, 32, a, v, nullptr, 0, {}, {}}; }

}  // namespace sim
