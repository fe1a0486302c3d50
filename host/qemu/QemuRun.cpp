#include "qemu/QemuRun.h"

#include "sim/Attack.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <thread>

#include "pe/ImageFile.h"
#include "pe/MapFile.h"
#include "pe/PeReader.h"
#include "qemu/GdbSession.h"
#include "qemu/guest/both/Layout.h"
#include "sim/Platform.h"
#include "tables/Crc32.h"

namespace qemu {

namespace fs = std::filesystem;

std::string DefaultGuest() { return VEXA_QEMU_GUEST; }
std::string DefaultQemu() { return VEXA_QEMU_SYSTEM; }

const char *EndName(Outcome::End end) {
  switch (end) {
    case Outcome::End::Passed:
      return "passed";
    case Outcome::End::Failed:
      return "failed";
    case Outcome::End::Crashed:
      return "crashed";
    case Outcome::End::TimedOut:
      return "timed out";
    case Outcome::End::NotRun:
      return "not run";
  }
  return "?";
}

namespace {

std::string FieldName(report::Field field) { return std::string(field.topic) + "." + field.name; }

}  // namespace

std::optional<uint64_t> Outcome::Number(report::Field field) const {
  const auto it = fields_.find(FieldName(field));
  if (it == fields_.end() || it->second.empty()) return std::nullopt;
  char *end = nullptr;
  const uint64_t v = std::strtoull(it->second.c_str(), &end, 0);
  if (*end != '\0') return std::nullopt;
  return v;
}

std::string Outcome::Text(report::Field field) const {
  const auto it = fields_.find(FieldName(field));
  return it == fields_.end() ? std::string() : it->second;
}

bool Outcome::Has(report::Field field) const { return fields_.count(FieldName(field)) != 0; }

// "topic key=value key=value" lines; "check failed=..." lines collect.
void Outcome::ReadReport(const std::string &text) {
  report = text;
  const std::string failed = FieldName(report::Check::kFailed);
  std::istringstream lines(report);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string topic, word;
    if (!(words >> topic)) continue;
    while (words >> word) {
      const size_t eq = word.find('=');
      if (eq == std::string::npos) continue;
      const std::string key = topic + "." + word.substr(0, eq), value = word.substr(eq + 1);
      if (key == failed) failedChecks.push_back(value);
      fields_[key] = value;
    }
  }
}

namespace {

std::string ReadFile(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
  return text;
}

// Starts argv with its output to `log` (null: the terminal's), in a process
// group of its own if asked (a Ctrl-C in the terminal then never reaches it).
pid_t Spawn(const std::vector<std::string> &argv, const fs::path *log, bool ownGroup) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (ownGroup) setpgid(0, 0);
  prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the rig
  signal(SIGINT, SIG_DFL);
  if (log != nullptr) {
    std::FILE *out = std::fopen(log->c_str(), "w");
    if (out != nullptr) {
      dup2(fileno(out), 1);
      dup2(fileno(out), 2);
    }
  }
  std::vector<char *> args;
  for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  std::fprintf(stderr, "cannot start %s: %s\n", args[0], std::strerror(errno));
  _exit(127);
}

using Clock = std::chrono::steady_clock;

// QEMU's log, read from a FIFO as QEMU writes it: each whole line goes to
// `line`; a line's start waits in `rest_` until its end arrives.
class LogPump {
 public:
  LogPump(int fd, std::function<void(const std::string &)> line) : fd_(fd), line_(std::move(line)) {}
  // Waits up to `ms` for more, and takes all there is.
  void Pump(int ms) {
    if (fd_ < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      return;
    }
    pollfd p = {fd_, POLLIN, 0};
    poll(&p, 1, ms);
    char buffer[1 << 16];
    for (;;) {
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n <= 0) return;  // nothing more now, or no writer (yet, or any more)
      size_t from = 0;
      for (size_t i = 0; i < static_cast<size_t>(n); ++i) {
        if (buffer[i] != '\n') continue;
        rest_.append(buffer + from, i - from);
        line_(rest_);
        rest_.clear();
        from = i + 1;
      }
      rest_.append(buffer + from, static_cast<size_t>(n) - from);
    }
  }

 private:
  int fd_;
  std::function<void(const std::string &)> line_;
  std::string rest_;
};

// Waits for `pid` until `seconds` after `start` (no bound if negative): its
// exit status, or nothing past the bound (it is then killed).  Meanwhile,
// and once more at its end, `log` is read.
std::optional<int> Reap(pid_t pid, Clock::time_point start, double seconds, double &wall, LogPump *log = nullptr) {
  if (pid < 0) return -1;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    wall = std::chrono::duration<double>(Clock::now() - start).count();
    if (done == pid) {
      if (log != nullptr) log->Pump(0);
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (seconds >= 0 && wall > seconds) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return std::nullopt;
    }
    if (log != nullptr) {
      log->Pump(2);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
}

// The last `count` lines of `text`, without a final line feed.
std::string LastLines(std::string text, int count) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  size_t at = text.size();
  for (int i = 0; i < count && at != std::string::npos && at != 0; ++i) at = text.rfind('\n', at - 1);
  if (at != std::string::npos && at != 0) text = text.substr(at + 1);
  if (text.size() > 2000) text = "..." + text.substr(text.size() - 2000);
  return text;
}

struct TempDir {
  fs::path path;
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "vexa-qemu-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path.empty()) fs::remove_all(path, ignored);
  }
};

// A device that only carries a name: what a parsed access points to once the
// platform that named it is gone.
class NameOnly : public sim::Device {
 public:
  explicit NameOnly(std::string name) : name_(std::move(name)) {}
  const char *Name() const override { return name_.c_str(); }
  uint32_t Read(sim::Space, uint64_t, int) override { return 0xFFFFFFFFu; }
  void Write(sim::Space, uint64_t, int, uint32_t) override {}

 private:
  std::string name_;
};

const sim::Device *Lasting(const sim::Device *device) {
  static std::map<std::string, std::unique_ptr<NameOnly>> devices;
  if (device == nullptr) return nullptr;
  std::unique_ptr<NameOnly> &d = devices[device->Name()];
  if (!d) d = std::make_unique<NameOnly>(device->Name());
  return d.get();
}

// QEMU paused with its gdbstub, and gdb on the session's command file.
// Returns false (with o.fault) when the session cannot start; else `status`
// is QEMU's, as Reap gives it.
bool RunWithGdb(const Settings &s, std::vector<std::string> argv, const fs::path &dir, Outcome &o,
                std::optional<int> &status, LogPump &log) {
  GdbSession g;
  g.companion = DebugCompanionFor(s.imagePath);
  const std::string companion = ReadFile(g.companion);
  pe::Headers h{};
  if (!s.loadDriver) {
    o.fault = "gdb needs the driver: there is no image to stop in";
    return false;
  }
  if (pe::Parse(reinterpret_cast<const uint8_t *>(companion.data()), companion.size(), h) != nullptr) {
    o.fault = "no debug companion at " + g.companion + " (the image build writes it beside the image)";
    return false;
  }
  // Symbols for other code would stop gdb in the wrong places: the companion
  // must hold the image's sections, byte for byte.
  const std::string image = ReadFile(s.imagePath);
  pe::Headers ih{};
  bool same = pe::Parse(reinterpret_cast<const uint8_t *>(image.data()), image.size(), ih) == nullptr &&
              ih.sectionCount <= h.sectionCount && ih.imageBase == h.imageBase;
  for (uint16_t i = 0; same && i < ih.sectionCount; ++i) {
    const pe::Section &a = ih.sections[i], &b = h.sections[i];
    const uint32_t n = std::min(a.virtualSize, a.rawSize);
    same = a.rva == b.rva && a.virtualSize == b.virtualSize && n <= b.rawSize &&
           image.compare(a.rawOffset, n, companion, b.rawOffset, n) == 0;
  }
  if (!same) {
    o.fault = "the debug companion " + g.companion + " does not hold " + s.imagePath +
              "'s code and data (from another build?)";
    return false;
  }
  const std::string gdb = s.gdbPath.empty() ? DefaultGdb() : s.gdbPath;
  if (access(gdb.c_str(), X_OK) != 0) {
    o.fault = "cannot run gdb at " + gdb + " (scripts/install-deps.sh installs it)";
    return false;
  }
  g.imageBase = h.imageBase;
  g.smmSymbols = DefaultSmmSymbols();
  g.guestSymbols = s.guestPath.empty() ? DefaultGuest() : s.guestPath;
  g.port = FreeLocalPort();
  g.breakAt = s.breakAt.empty() ? "GpioUnlockSmiHandler" : s.breakAt;
  g.batch = s.gdb == Settings::Gdb::Batch;
  g.atStop = s.atStop;
  if (g.port == 0) {
    o.fault = "no free local port for QEMU's gdbstub";
    return false;
  }
  const fs::path file = dir / "session.gdb", qemuLog = dir / "qemu.log", gdbLog = dir / "gdb.log";
  std::ofstream(file) << g.Commands();
  argv.insert(argv.end(), {"-S", "-gdb", "tcp:127.0.0.1:" + std::to_string(g.port)});

  const Clock::time_point start = Clock::now();
  const pid_t q = Spawn(argv, &qemuLog, true);
  double gdbWall = 0;
  if (g.batch) {
    const std::optional<int> done =
        Reap(Spawn({gdb, "-nx", "-batch", "-x", file.string()}, &gdbLog, true), start, s.timeoutSeconds, gdbWall);
    status = Reap(q, start, done ? s.timeoutSeconds : 0, o.wallSeconds, &log);
    o.gdbLog = ReadFile(gdbLog);
  } else if (s.gdb == Settings::Gdb::Terminal) {
    // gdb owns the terminal: a Ctrl-C interrupts the guest, never the rig.
    struct sigaction ignore = {};
    struct sigaction previous = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, &previous);
    Reap(Spawn({gdb, "-q", "-x", file.string()}, nullptr, false), start, -1, gdbWall);
    sigaction(SIGINT, &previous, nullptr);
    status = Reap(q, start, gdbWall + 5, o.wallSeconds, &log);  // gdb's quit ends QEMU
  } else {
    if (s.attach) s.attach(gdb + " -q -x " + file.string());
    status = Reap(q, start, -1, o.wallSeconds, &log);
  }
  return true;
}

}  // namespace

// The simulated devices the log's accesses are replayed on, for their names.
struct TraceNames {
  explicit TraceNames(const sim::BoardLayout &board) : platform(board) {
    platform.superIo.absent = true;
    platform.uart.PowerOnReset();
    platform.bus.recording = false;
    platform.bus.onAccess = [this](const sim::Access &a) { last = a; };
  }
  sim::Platform platform;
  sim::Access last;
};

TraceReader::TraceReader(const sim::BoardLayout &board) {
  sim::Bus *outer = sim::Bus::Current();
  names_ = std::make_unique<TraceNames>(board);
  sim::Bus::SetCurrent(outer);
}

TraceReader::~TraceReader() {
  sim::Bus *outer = sim::Bus::Current();
  names_.reset();
  sim::Bus::SetCurrent(outer);
}

void TraceReader::Line(const std::string &line) {
  // QEMU's region names; its 7.2 trace gives absolute addresses (port
  // numbers, physical addresses).  "io" is I/O space nobody decodes.
  static const char *const kIoRegions[] = {"serial", "rtc-index", "rtc",    "pci-conf-idx", "pci-conf-data",
                                           "io",     "ioport80",  "apm-io", "isa-debugcon", "isa-debug-exit"};
  const bool read = line.rfind("memory_region_ops_read ", 0) == 0;
  if (!read && line.rfind("memory_region_ops_write ", 0) != 0) return;
  ++events;
  unsigned long long addr = 0, value = 0;
  unsigned size = 0;
  int cpu = -1;
  std::sscanf(line.c_str() + line.find(' '), " cpu %d", &cpu);
  const size_t at = line.find(" addr ");
  const size_t quote = line.find(" name '");
  if (at == std::string::npos || quote == std::string::npos ||
      std::sscanf(line.c_str() + at, " addr %llx value %llx size %u", &addr, &value, &size) != 3)
    return;
  const std::string name = line.substr(quote + 7, line.size() - quote - 8);
  if (name == "ioport80" && !read) {
    const bool opens = value == MARK_ENTRY_BEGIN || value == MARK_SMI_BEGIN;
    if (opens || value == MARK_ENTRY_END || value == MARK_SMI_END) {
      open_ = opens;
      windowCpu_ = cpu;
      if (opens) {
        window_ = value == MARK_ENTRY_BEGIN ? 0 : ++handlerCalls;
        if (onWindow) onWindow(window_);
      }
      return;
    }
  }
  // Inside a window only the CPU that opened it runs the driver.
  if (!open_ || cpu != windowCpu_ || (size != 1 && size != 2 && size != 4)) return;
  bool io = name != "pcie-mmcfg-mmio" && addr <= 0xFFFF;
  for (const char *r : kIoRegions) io = io || name == r;
  const sim::Space space = io ? sim::Space::Io : sim::Space::Mem;
  const int width = static_cast<int>(size) * 8;
  const uint32_t v = static_cast<uint32_t>(value & (size == 4 ? 0xFFFFFFFFull : (1ull << width) - 1));
  // Replaying on the simulator's devices names each register as the
  // simulator's trace would, with the state it had then (DLAB, ...).
  sim::Bus *outer = sim::Bus::Current();
  sim::Bus &bus = names_->platform.bus;
  if (read)
    bus.Read(space, addr, width);
  else
    bus.Write(space, addr, width, v);
  sim::Bus::SetCurrent(outer);
  sim::Access a = names_->last;
  a.value = v;
  a.device = name == "io" ? nullptr : Lasting(a.device);
  if (name == "io") a.reg = "(no device)";  // nothing decodes it on QEMU's machine
  if (onAccess) onAccess(window_, a);
}

void ParseTrace(const std::string &log, std::vector<sim::Access> &boot, std::vector<std::vector<sim::Access>> &smis,
                size_t &events, const sim::BoardLayout &board) {
  boot.clear();
  smis.clear();
  TraceReader reader(board);
  reader.onWindow = [&](uint64_t window) {
    if (window != 0) smis.emplace_back();
  };
  reader.onAccess = [&](uint64_t window, const sim::Access &a) { (window == 0 ? boot : smis.back()).push_back(a); };
  std::istringstream lines(log);
  std::string line;
  while (std::getline(lines, line)) reader.Line(line);
  events = reader.events;
}

std::map<int, std::vector<uint64_t>> ParseSmmEntries(const std::string &log) {
  constexpr unsigned long kSmmFlag = 1ul << 19;  // the block was translated for SMM
  std::map<int, std::vector<uint64_t>> entries;
  std::istringstream lines(log);
  std::string line;
  while (std::getline(lines, line)) {
    int cpu = 0;
    unsigned long long csBase = 0, pc = 0;
    unsigned long flags = 0;
    const size_t open = line.find('[');
    if (line.rfind("Trace ", 0) != 0 || open == std::string::npos ||
        std::sscanf(line.c_str(), "Trace %d:", &cpu) != 1 ||
        std::sscanf(line.c_str() + open, "[%llx/%llx/%lx", &csBase, &pc, &flags) != 3)
      continue;
    if ((flags & kSmmFlag) != 0 && pc == csBase + SMM_ENTRY_OFFSET) entries[cpu].push_back(csBase);
  }
  return entries;
}

Outcome Run(const Settings &s) {
  Outcome o;
  const std::string qemu = s.qemuPath.empty() ? DefaultQemu() : s.qemuPath;
  const std::string guest = s.guestPath.empty() ? DefaultGuest() : s.guestPath;
  if (access(qemu.c_str(), X_OK) != 0) {
    o.fault = "cannot run QEMU at " + qemu;
    return o;
  }
  if (access(guest.c_str(), R_OK) != 0) {
    o.fault = "no guest program at " + guest;
    return o;
  }
  TempDir dir;
  if (dir.path.empty()) {
    o.fault = "cannot make a temporary folder";
    return o;
  }

  // The board the image was built for, from its map: where the window goes
  // and the rate its CMOS selects.
  sim::BoardLayout board;
  pe::MapFile boardMap;
  if (s.loadDriver && boardMap.Read(pe::MapPathFor(s.imagePath)) && !boardMap.BoardSettings().empty()) {
    std::string error;
    if (!sim::BoardLayoutFrom(boardMap.BoardSettings(), board, error)) {
      o.fault = pe::MapPathFor(s.imagePath) + ": " + error;
      return o;
    }
  }
  const uint64_t pciExpressBase = s.pciExpressBase.value_or(board.pciExpressBase);
  std::string append = "driver=" + std::to_string(s.loadDriver ? 1 : 0) +
                       " cmos=" + Hex(s.cmos.value_or(board.cmosSerialBaud)) + " pcie-base=" + Hex(pciExpressBase) +
                       " attempts=" + std::to_string(s.attempts) + " idle-smis=" + std::to_string(s.idleSmis) +
                       " protection=" + std::to_string(s.protectionChecks ? 1 : 0) + " cpus=" + std::to_string(s.cpus) +
                       " cpu1-attempts=" + std::to_string(s.cpu1Attempts);
  if (s.attack) append += " attack=" + std::to_string(*s.attack);
  // One host thread runs every CPU in turn (a CPU gives way at the end of a
  // block, a PAUSE or a HLT): the rendezvous's waits cost no host thread
  // each, and a run's time does not hang on the host scheduling several.
  std::vector<std::string> argv = {qemu,
                                   "-machine",
                                   "q35,smm=on",
                                   "-accel",
                                   "tcg,thread=single",
                                   "-m",
                                   "512M",
                                   "-smp",
                                   std::to_string(s.cpus),
                                   "-nodefaults",
                                   "-display",
                                   "none",
                                   "-no-reboot",
                                   "-kernel",
                                   guest};
  if (s.loadDriver) {
    std::vector<uint8_t> image;
    std::string error;
    if (!pe::ReadImageFile(s.imagePath, image, error)) {
      o.fault = error;
      return o;
    }
    append +=
        " image-size=" + std::to_string(image.size()) + " image-crc=" + Hex(tables::Crc32(image.data(), image.size()));
    if (s.printLevel) {
      const std::optional<uint32_t> rva = pe::PrintLevelRva(s.imagePath, error);
      if (!rva) {
        o.fault = error;
        return o;
      }
      append += " print-level=" + Hex(*s.printLevel) + " print-level-rva=" + Hex(*rva);
    }
    argv.insert(argv.end(), {"-initrd", s.imagePath});
  }
  // fake-window's framebuffer: a display adapter whose BAR0 is 16 MiB of RAM.
  if (s.attack && *s.attack == attack::kFakeWindow) argv.insert(argv.end(), {"-device", "bochs-display"});
  if (!s.guestArguments.empty()) append += " " + s.guestArguments;
  const fs::path reportFile = dir.path / "report.txt", console = dir.path / "console.txt",
                 trace = dir.path / "trace.txt";
  argv.insert(argv.end(), {"-append", append, "-debugcon", "file:" + reportFile.string(), "-serial",
                           s.serial ? "file:" + console.string() : std::string("none"), "-device",
                           "isa-debug-exit,iobase=0xf4,iosize=0x04"});
  std::string logged;
  if (s.trace) logged = "trace:memory_region_ops_read,trace:memory_region_ops_write";
  if (s.smmEntries) {
    // Blocks are logged as they run; cut to TSEG's entry area, only the SMM entries are.
    logged += std::string(logged.empty() ? "" : ",") + "exec";
    argv.insert(argv.end(), {"-dfilter", Hex(TSEG_BASE + SMM_ENTRY_OFFSET) + "+" + Hex(SMM_ENTRY_AREA_SIZE)});
  }
  // QEMU's log comes through a FIFO and is read as it is written: nothing
  // of it is kept but what the callbacks keep (and the SMM entries' lines).
  board.pciExpressBase = pciExpressBase;
  TraceReader reader(board);
  const bool streamed = s.onAccess || s.onWindow;
  if (streamed) {
    reader.onWindow = s.onWindow;
    reader.onAccess = s.onAccess;
    if (logged.find("trace:") == std::string::npos)
      logged = "trace:memory_region_ops_read,trace:memory_region_ops_write" + (logged.empty() ? "" : "," + logged);
  } else if (s.trace) {
    reader.onWindow = [&](uint64_t window) {
      if (window != 0) o.smiTraces.emplace_back();
    };
    reader.onAccess = [&](uint64_t window, const sim::Access &a) {
      (window == 0 ? o.bootTrace : o.smiTraces.back()).push_back(a);
    };
  }
  int stream = -1;
  if (!logged.empty()) {
    if (mkfifo(trace.c_str(), 0600) != 0 || (stream = open(trace.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) < 0) {
      o.fault = "cannot make a FIFO for QEMU's log at " + trace.string();
      return o;
    }
    argv.insert(argv.end(), {"-d", logged, "-D", trace.string()});
  }
  std::string entries;  // the exec log's lines, which the SMM entries come from
  LogPump pump(stream, [&](const std::string &line) {
    if (s.smmEntries && line.rfind("Trace ", 0) == 0) entries += line + "\n";
    reader.Line(line);
  });

  std::optional<int> status;
  if (s.gdb == Settings::Gdb::Off) {
    const fs::path log = dir.path / "qemu.log";
    status = Reap(Spawn(argv, &log, false), Clock::now(), s.timeoutSeconds, o.wallSeconds, &pump);
  } else if (!RunWithGdb(s, argv, dir.path, o, status, pump)) {
    if (stream >= 0) close(stream);
    return o;
  }
  if (stream >= 0) close(stream);
  o.traceEvents = reader.events;
  o.ReadReport(ReadFile(reportFile));
  o.console = ReadFile(console);
  if (s.smmEntries) o.smmEntryBases = ParseSmmEntries(entries);

  using namespace report;
  const std::string verdict = o.Text(Result::kVerdict);
  if (!status) {
    o.end = Outcome::End::TimedOut;
    char bound[32];
    std::snprintf(bound, sizeof bound, "%g", s.timeoutSeconds);  // 61, 0.5: as the bound was given
    o.fault = std::string("QEMU did not finish within ") + bound + " s and was killed";
  } else if ((*status == 1 && verdict == "pass") || (*status == 3 && verdict == "fail")) {
    o.end = *status == 1 ? Outcome::End::Passed : Outcome::End::Failed;
    if (*status == 3) {
      o.fault = "the guest failed:";
      if (!o.Text(Result::kReason).empty()) o.fault += " " + o.Text(Result::kReason);
      for (const std::string &c : o.failedChecks) o.fault += " " + c;
      if (o.Has(Exception::kVector))
        o.fault += " (exception " + o.Text(Exception::kWhere) + " vector " + o.Text(Exception::kVector) + " rip " +
                   o.Text(Exception::kRip) + (o.Has(Exception::kRva) ? " rva " + o.Text(Exception::kRva) : "") + ")";
      if (o.Has(Fault::kWhat)) o.fault += " (" + o.Text(Fault::kWhat) + ")";
    }
  } else {
    o.end = Outcome::End::Crashed;
    const std::string log = LastLines(ReadFile(dir.path / "qemu.log"), 5);
    const std::string said = log.empty() ? " (nothing on its stderr)" : "; its stderr ends:\n" + log;
    if (*status == 0 && s.gdb != Settings::Gdb::Off) {
      o.fault = "gdb ended the run before the guest's exit";
    } else if (o.Text(Guest::kProgram).empty()) {
      o.fault = "QEMU ended (exit status " + std::to_string(*status) + ") before the guest reported anything" + said;
    } else if (*status == 0) {
      o.fault = "QEMU stopped without the guest's exit (exit status 0: the guest reset, a triple fault?)" + said;
    } else {
      o.fault = "QEMU exited with status " + std::to_string(*status) + " before the guest's exit" + said;
    }
  }
  return o;
}

}  // namespace qemu
