// The one text form of bus accesses, for every trace the project prints: the
// main job's, the simulator's, the QEMU rig's and the tests' differences.
//
//   io  w8  0x3FB       UART.LCR                 <- 0x80
//   io  w8  0x3F8       UART.THR                 <- 0x56  'V'
//   io  w32 0xCF8       PCICFG.ADDRESS           <- 0x8000F880  0:31.0 reg 0x80
//   mem r8  0x800F804C  LPC.GPIO_LOCK            -> 0x01
//
// Columns: space, direction and width, address, where it landed (device and
// register; blank for an access built as an expectation, "(no device)" when
// nothing answered), value, and what the value meant.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/Bus.h"

namespace sim {

std::string Describe(const Access &a);

// A listing a person can read: runs of three or more identical accesses (a
// status poll) become one line with a count, and marks stand between the accesses they
// fell between.  Accesses and marks are added in order, as they happen.
class TraceListing {
 public:
  void Add(const Access &a);
  void Mark(const std::string &text);
  // The listing so far, each line ending in a line feed (empty once it streams).
  std::string Text() const;
  // From now on every finished line goes to `out` instead, so a listing of
  // any length takes no memory; Finish() writes the last one.
  void StreamTo(std::FILE *out) { out_ = out; }
  void Finish() const { FlushRun(); }
  size_t Accesses() const { return accesses_; }
  size_t Lines() const;

 private:
  void FlushRun() const;
  bool SameAsRun(const Access &a) const;

  static constexpr size_t kShortestCollapsedRun = 3;
  void Emit(const std::string &lines) const;

  mutable std::string text_;
  std::FILE *out_ = nullptr;
  mutable std::vector<Access> run_;  // at most one access: the run's first, with its count
  mutable size_t runLength_ = 0;
  size_t accesses_ = 0;
};

// Empty when equal; otherwise a side-by-side listing that marks the first
// difference, for test failure messages.
std::string TraceDifference(const std::vector<Access> &expected, const std::vector<Access> &actual);

}  // namespace sim
