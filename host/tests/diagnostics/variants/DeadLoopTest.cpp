// Property mask 0x23: the dead loop.  A child process asserts and is still
// spinning, on the processor, well after its report has gone out.

#define VEXA_SOURCE_FILE "host/tests/diagnostics/variants/DeadLoopTest"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "Library/DebugLib.h"
#include "diagnostics/DiagnosticsFixture.h"
#include "support/TestSupport.h"

namespace {

// Reads from fd until text ends in "\r\n" or the deadline passes.
std::string ReadLine(int fd, std::chrono::milliseconds deadline) {
  std::string text;
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char c;
    if (read(fd, &c, 1) != 1) break;
    text += c;
  }
  return text;
}

// The scheduler state of a process: 'R' while it runs or waits for a processor.
char ProcessState(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const size_t close = line.rfind(')');
  return close == std::string::npos || close + 2 >= line.size() ? '?' : line[close + 2];
}

TEST(DiagnosticsDeadLoop, AssertionSpinsAfterItsReport) {
  static_assert(PcdDebugPropertyMask == 0x23, "this executable's copy of the debug library");
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  testsupport::BreakpointCounter breakpoints;

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipeFds[0]);
    sim::Platform platform;
    diagnostics::UartCapture uart(platform.bus);  // shadows the platform's UART, forwarding each byte
    uart.forwardFd = pipeFds[1];
    UINTN Spins = 0;
    ASSERT(Spins != 0);
    _exit(breakpoints.Count() == 0 ? 0 : 1);  // reached only if the loop ended
  }

  close(pipeFds[1]);
  const std::string report = ReadLine(pipeFds[0], std::chrono::seconds(10));
  close(pipeFds[0]);
  EXPECT_TRUE(diagnostics::ReportsAre(
      report, {diagnostics::ReportPattern("host/tests/diagnostics/variants/DeadLoopTest", "Spins != 0")}));

  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, WNOHANG), 0) << "the child left the dead loop";
  EXPECT_EQ(ProcessState(child), 'R') << "the child should be spinning, not sleeping";

  kill(child, SIGKILL);
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  EXPECT_EQ(breakpoints.Count(), 0);
}

}  // namespace
