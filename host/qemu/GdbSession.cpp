#include "qemu/GdbSession.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

namespace qemu {

std::string DefaultGdb() { return VEXA_GDB; }
std::string DefaultSmmSymbols() { return VEXA_QEMU_SMM_SYMBOLS; }

std::string DebugCompanionFor(const std::string &imagePath) {
  const size_t slash = imagePath.rfind('/'), dot = imagePath.rfind('.');
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (hasExtension ? imagePath.substr(0, dot) : imagePath) + ".debug";
}

uint16_t FreeLocalPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof a;
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

std::string GdbSession::Commands() const {
  char base[24];
  std::snprintf(base, sizeof base, "%#llx", static_cast<unsigned long long>(imageBase));
  std::string c;
  auto line = [&c](const std::string &text) { c += text + "\n"; };
  line("# gdb on QEMU's gdbstub: VexaGpioUnlockSmm in SMM, with its own symbols.");
  line("set confirm off");
  line("set pagination off");
  line("set filename-display absolute");
  line("set breakpoint pending off");
  line("target remote 127.0.0.1:" + std::to_string(port));
  line("add-symbol-file " + guestSymbols);
  // The SMRAM program's .bss holds the room the image is loaded into: it is
  // placed out of the way, so that those addresses answer with the driver's
  // symbols.  Its code keeps its place: backtraces end in the dispatcher.
  line("add-symbol-file " + smmSymbols + " -s .bss 0x7f0000000000");
  line("tbreak *DriverLoadedAt");
  line("continue");
  line("printf \"== image loaded in SMRAM at %#lx; its symbols from " + companion + "\\n\", $rdi");
  line("eval \"add-symbol-file -readnow " + companion + " -o %#lx\", $rdi - " + base);
  // The companion names its sources relative to the folder it was built in,
  // which is its own.
  const size_t slash = companion.rfind('/');
  line("directory " + (slash == std::string::npos ? std::string(".") : companion.substr(0, slash)));
  line("break " + breakAt);
  line("continue");
  if (batch) {
    for (const std::string &command : atStop) line(command);
    line("delete");
    line("continue");
  } else {
    line("set confirm on");
    line("set pagination on");
  }
  return c;
}

}  // namespace qemu
