#include "sim/TraceText.h"

#include <algorithm>
#include <cstdio>

namespace sim {

std::string Describe(const Access &a) {
  std::string where = a.reg;
  if (a.device != nullptr) {
    where = a.device->Name();
    // A PCI function's name already leads its register names ("LPC.GPIO_LOCK").
    if (!a.reg.empty()) where = a.reg.rfind(where + ".", 0) == 0 ? a.reg : where + "." + a.reg;
  }
  const bool io = a.space == Space::Io;
  const bool read = a.dir == Dir::Read;
  char address[24];
  std::snprintf(address, sizeof address, "0x%0*llX", io ? 3 : 8, static_cast<unsigned long long>(a.address));
  char text[160];
  std::snprintf(text, sizeof text, "%-3s %c%-2d %-10s  %-24s %s 0x%0*X", io ? "io" : "mem", read ? 'r' : 'w', a.width,
                address, where.c_str(), read ? "->" : "<-", a.width / 4, a.value);
  std::string line = text;
  if (!a.note.empty()) line += "  " + a.note;
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

bool TraceListing::SameAsRun(const Access &a) const {
  if (run_.empty()) return false;
  const Access &r = run_.front();
  return r == a && r.device == a.device && r.reg == a.reg && r.note == a.note;
}

void TraceListing::FlushRun() const {
  if (run_.empty()) return;
  // A pair stays two lines (a read-modify-write reads as such); a longer run
  // is a poll.
  const std::string line = Describe(run_.front());
  if (runLength_ >= kShortestCollapsedRun) {
    Emit(line + "   (x" + std::to_string(runLength_) + ")\n");
  } else {
    for (size_t i = 0; i < runLength_; ++i) Emit(line + "\n");
  }
  run_.clear();
  runLength_ = 0;
}

void TraceListing::Add(const Access &a) {
  ++accesses_;
  if (SameAsRun(a)) {
    ++runLength_;
    return;
  }
  FlushRun();
  run_.push_back(a);
  runLength_ = 1;
}

void TraceListing::Emit(const std::string &lines) const {
  if (out_ != nullptr) {
    std::fwrite(lines.data(), 1, lines.size(), out_);
  } else {
    text_ += lines;
  }
}

void TraceListing::Mark(const std::string &text) {
  FlushRun();
  Emit("-- " + text + "\n");
}

std::string TraceListing::Text() const {
  FlushRun();
  return text_;
}

size_t TraceListing::Lines() const {
  FlushRun();
  return static_cast<size_t>(std::count(text_.begin(), text_.end(), '\n'));
}

std::string TraceDifference(const std::vector<Access> &expected, const std::vector<Access> &actual) {
  if (expected == actual) return {};
  std::string out = "access traces differ (expected | actual):\n";
  const size_t n = std::max(expected.size(), actual.size());
  bool marked = false;
  for (size_t i = 0; i < n; ++i) {
    const std::string e = i < expected.size() ? Describe(expected[i]) : std::string("(none)");
    const std::string g = i < actual.size() ? Describe(actual[i]) : std::string("(none)");
    const bool same = i < expected.size() && i < actual.size() && expected[i] == actual[i];
    char line[320];
    std::snprintf(line, sizeof line, "%s %4zu  %-58s | %s\n", (!same && !marked) ? ">>" : "  ", i, e.c_str(),
                  g.c_str());
    if (!same) marked = true;
    out += line;
  }
  return out;
}

}  // namespace sim
