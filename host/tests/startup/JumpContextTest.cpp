// SetJump and LongJump: every callee-saved register, the stack pointer,
// MXCSR and Xmm6-Xmm15 come back after a jump from a deeper frame that
// changed them all; the buffer and value checks report their texts.
//
// The registers are set and read by a small assembly probe, since compiled
// code gives no control over them.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>

#include "Library/BaseLib.h"
#include "sim/Platform.h"
#include "support/TestSupport.h"

namespace {

// The registers the probe loads before SetJump and records after each of
// its returns.
struct RegisterSet {
  uint64_t Rbx, Rbp, Rdi, Rsi, R12, R13, R14, R15;  // 0x00
  uint64_t Rsp;                                     // 0x40: recorded only
  uint32_t MxCsr;                                   // 0x48
  uint32_t Pad;
  uint8_t Xmm[10][16];     // 0x50: Xmm6..Xmm15
  uint64_t SetJumpResult;  // 0xF0: recorded only
};
static_assert(offsetof(RegisterSet, Rsp) == 0x40 && offsetof(RegisterSet, MxCsr) == 0x48 &&
                  offsetof(RegisterSet, Xmm) == 0x50 && offsetof(RegisterSet, SetJumpResult) == 0xF0 &&
                  sizeof(RegisterSet) == 0xF8,
              "the probe's offsets");

}  // namespace

// JumpProbe(Context, In, Out[2], Value): loads In, calls SetJump(Context) and
// records the registers into Out[0]; then a deeper frame (JumpProbeDeeper)
// loads other values into every one of them and calls LongJump(Context,
// Value); SetJump's second return is recorded into Out[1].  The caller's own
// registers (System V) are saved and restored around all of it.
extern "C" void JumpProbe(JumpContext *context, const RegisterSet *in, RegisterSet *out, uint64_t value);
extern "C" char JumpProbeReturnSite[];

asm(R"(
        .intel_syntax noprefix
        .text
        .globl JumpProbe
        .type JumpProbe, @function
JumpProbe:
        push    rbp
        push    rbx
        push    r12
        push    r13
        push    r14
        push    r15
        sub     rsp, 0x58
        stmxcsr [rsp + 0x40]
        mov     [rsp + 0x20], rdi
        mov     [rsp + 0x28], rsi
        mov     [rsp + 0x30], rdx
        mov     [rsp + 0x38], rcx
        mov     rax, rsi
        mov     rbx, [rax + 0x00]
        mov     rbp, [rax + 0x08]
        mov     rdi, [rax + 0x10]
        mov     rsi, [rax + 0x18]
        mov     r12, [rax + 0x20]
        mov     r13, [rax + 0x28]
        mov     r14, [rax + 0x30]
        mov     r15, [rax + 0x38]
        ldmxcsr [rax + 0x48]
        movdqu  xmm6, [rax + 0x50]
        movdqu  xmm7, [rax + 0x60]
        movdqu  xmm8, [rax + 0x70]
        movdqu  xmm9, [rax + 0x80]
        movdqu  xmm10, [rax + 0x90]
        movdqu  xmm11, [rax + 0xA0]
        movdqu  xmm12, [rax + 0xB0]
        movdqu  xmm13, [rax + 0xC0]
        movdqu  xmm14, [rax + 0xD0]
        movdqu  xmm15, [rax + 0xE0]
        mov     rcx, [rsp + 0x20]
        call    SetJump@PLT
        .globl JumpProbeReturnSite
JumpProbeReturnSite:
        mov     [rsp + 0x48], rax
        mov     rax, [rsp + 0x30]
        cmp     qword ptr [rsp + 0x48], 0
        je      1f
        add     rax, 0xF8
1:
        mov     [rax + 0x00], rbx
        mov     [rax + 0x08], rbp
        mov     [rax + 0x10], rdi
        mov     [rax + 0x18], rsi
        mov     [rax + 0x20], r12
        mov     [rax + 0x28], r13
        mov     [rax + 0x30], r14
        mov     [rax + 0x38], r15
        mov     [rax + 0x40], rsp
        stmxcsr [rax + 0x48]
        movdqu  [rax + 0x50], xmm6
        movdqu  [rax + 0x60], xmm7
        movdqu  [rax + 0x70], xmm8
        movdqu  [rax + 0x80], xmm9
        movdqu  [rax + 0x90], xmm10
        movdqu  [rax + 0xA0], xmm11
        movdqu  [rax + 0xB0], xmm12
        movdqu  [rax + 0xC0], xmm13
        movdqu  [rax + 0xD0], xmm14
        movdqu  [rax + 0xE0], xmm15
        mov     rcx, [rsp + 0x48]
        mov     [rax + 0xF0], rcx
        test    rcx, rcx
        jnz     2f
        mov     rcx, [rsp + 0x20]
        mov     rdx, [rsp + 0x38]
        call    JumpProbeDeeper
        ud2
2:
        ldmxcsr [rsp + 0x40]
        add     rsp, 0x58
        pop     r15
        pop     r14
        pop     r13
        pop     r12
        pop     rbx
        pop     rbp
        ret
        .size JumpProbe, . - JumpProbe

        .type JumpProbeDeeper, @function
JumpProbeDeeper:
        sub     rsp, 0x68
        movabs  rbx, 0xDEAD00000000B0B0
        movabs  rbp, 0xDEAD00000000B1B1
        movabs  rdi, 0xDEAD00000000B2B2
        movabs  rsi, 0xDEAD00000000B3B3
        movabs  r12, 0xDEAD00000000B4B4
        movabs  r13, 0xDEAD00000000B5B5
        movabs  r14, 0xDEAD00000000B6B6
        movabs  r15, 0xDEAD00000000B7B7
        mov     dword ptr [rsp + 0x60], 0x5F80
        ldmxcsr [rsp + 0x60]
        pcmpeqd xmm6, xmm6
        pcmpeqd xmm7, xmm7
        pcmpeqd xmm8, xmm8
        pcmpeqd xmm9, xmm9
        pcmpeqd xmm10, xmm10
        pcmpeqd xmm11, xmm11
        pcmpeqd xmm12, xmm12
        pcmpeqd xmm13, xmm13
        pcmpeqd xmm14, xmm14
        pcmpeqd xmm15, xmm15
        call    LongJump@PLT
        ud2
        .size JumpProbeDeeper, . - JumpProbeDeeper
        .att_syntax prefix
)");

namespace {

// Values no compiled code would leave behind; MXCSR: flush-to-zero, round
// down, all exceptions masked (the deeper frame switches to round up).
RegisterSet Marked() {
  RegisterSet in{};
  in.Rbx = 0x0123456789ABCD00;
  in.Rbp = 0x0123456789ABCD01;
  in.Rdi = 0x0123456789ABCD02;
  in.Rsi = 0x0123456789ABCD03;
  in.R12 = 0x0123456789ABCD04;
  in.R13 = 0x0123456789ABCD05;
  in.R14 = 0x0123456789ABCD06;
  in.R15 = 0x0123456789ABCD07;
  in.MxCsr = 0xBF80;
  for (int r = 0; r < 10; ++r) {
    for (int b = 0; b < 16; ++b) in.Xmm[r][b] = static_cast<uint8_t>(r * 16 + b + 1);
  }
  return in;
}

// Every register that differs, in one message.
::testing::AssertionResult SameRegisters(const RegisterSet &expected, const RegisterSet &actual) {
  const uint64_t e[] = {expected.Rbx, expected.Rbp, expected.Rdi, expected.Rsi,
                        expected.R12, expected.R13, expected.R14, expected.R15};
  const uint64_t a[] = {actual.Rbx, actual.Rbp, actual.Rdi, actual.Rsi, actual.R12, actual.R13, actual.R14, actual.R15};
  const char *names[] = {"rbx", "rbp", "rdi", "rsi", "r12", "r13", "r14", "r15"};
  std::ostringstream differences;
  differences << std::hex;
  for (int i = 0; i < 8; ++i) {
    if (e[i] != a[i]) differences << names[i] << " is 0x" << a[i] << ", expected 0x" << e[i] << "; ";
  }
  if (expected.MxCsr != actual.MxCsr) {
    differences << "MXCSR is 0x" << actual.MxCsr << ", expected 0x" << expected.MxCsr << "; ";
  }
  for (int r = 0; r < 10; ++r) {
    if (std::memcmp(expected.Xmm[r], actual.Xmm[r], 16) != 0)
      differences << "xmm" << std::dec << (r + 6) << std::hex << " differs; ";
  }
  if (differences.str().empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << differences.str();
}

struct ProbeRun {
  RegisterSet in = Marked();
  RegisterSet out[2] = {};
};

ProbeRun RunProbe(JumpContext *context, uint64_t value) {
  ProbeRun run;
  JumpProbe(context, &run.in, run.out, value);
  return run;
}

class JumpContextTest : public ::testing::Test {
 protected:
  // The UART assertion reports go to.
  std::string Console() { return testsupport::ConsoleText(platform); }

  sim::Platform platform;
  testsupport::BreakpointCounter breakpoints;
};

std::string ReportPattern(const std::string &file, const std::string &text) {
  return "ASSERT " + file +
         "\\([0-9]+\\): " + std::regex_replace(text, std::regex(R"([\\^$.|?*+()\[\]{}])"), R"(\$&)") + "\r\n";
}

}  // namespace

TEST_F(JumpContextTest, EveryCalleeSavedRegisterIsBackAfterAJumpFromADeeperFrame) {
  alignas(8) JumpContext context{};
  for (uint64_t value : {uint64_t{1}, uint64_t{0x42}, uint64_t{0x8000000000000000}, ~uint64_t{0}}) {
    SCOPED_TRACE(value);
    const ProbeRun run = RunProbe(&context, value);

    EXPECT_EQ(run.out[0].SetJumpResult, 0u) << "the direct call returns 0";
    EXPECT_TRUE(SameRegisters(run.in, run.out[0])) << "SetJump itself keeps them";

    EXPECT_EQ(run.out[1].SetJumpResult, value) << "the second return carries LongJump's value";
    EXPECT_TRUE(SameRegisters(run.in, run.out[1])) << "after LongJump";
    EXPECT_EQ(run.out[1].Rsp, run.out[0].Rsp) << "the stack pointer as after the first return";
  }
  EXPECT_EQ(breakpoints.Count(), 0);
  EXPECT_EQ(Console(), "");
}

TEST_F(JumpContextTest, TheRecordHoldsTheStateInFieldOrder) {
  alignas(8) JumpContext context{};
  const ProbeRun run = RunProbe(&context, 1);

  EXPECT_EQ(context.Rbx, run.in.Rbx);
  EXPECT_EQ(context.Rsp, run.out[0].Rsp);
  EXPECT_EQ(context.Rbp, run.in.Rbp);
  EXPECT_EQ(context.Rdi, run.in.Rdi);
  EXPECT_EQ(context.Rsi, run.in.Rsi);
  EXPECT_EQ(context.R12, run.in.R12);
  EXPECT_EQ(context.R13, run.in.R13);
  EXPECT_EQ(context.R14, run.in.R14);
  EXPECT_EQ(context.R15, run.in.R15);
  EXPECT_EQ(context.Rip, reinterpret_cast<uint64_t>(JumpProbeReturnSite)) << "the return address of SetJump";
  EXPECT_EQ(context.MxCsr, run.in.MxCsr);
  const UINT8 *xmm[] = {context.Xmm6,  context.Xmm7,  context.Xmm8,  context.Xmm9,  context.Xmm10,
                        context.Xmm11, context.Xmm12, context.Xmm13, context.Xmm14, context.Xmm15};
  for (int r = 0; r < 10; ++r) EXPECT_EQ(std::memcmp(xmm[r], run.in.Xmm[r], 16), 0) << "xmm" << (r + 6);
}

TEST_F(JumpContextTest, CompiledCodeSeesTheSecondReturnWithAllOnes) {
  alignas(8) JumpContext context{};
  volatile int directReturns = 0;
  const UINTN result = SetJump(&context);
  if (result == 0) {
    ++directReturns;
    LongJump(&context, (UINTN)-1);
  }
  EXPECT_EQ(result, ~UINTN{0});
  EXPECT_EQ(directReturns, 1);
  EXPECT_EQ(Console(), "");
}

TEST_F(JumpContextTest, NullBufferIsReportedAndLeftAlone) {
  EXPECT_EQ(SetJump(nullptr), 0u);
  EXPECT_EQ(breakpoints.Count(), 1);
  EXPECT_TRUE(std::regex_match(
      Console(), std::regex(ReportPattern("MdePkg/Library/BaseLib/SetJump", "JumpBuffer != ((void *) 0)"))))
      << Console();
}

TEST_F(JumpContextTest, MisalignedBufferIsReportedAndStillWorks) {
  // Room for a record at an address 4 bytes off the 8-byte boundary.
  alignas(8) UINT8 storage[sizeof(JumpContext) + 8];
  JumpContext *misaligned = reinterpret_cast<JumpContext *>(storage + 4);

  const ProbeRun run = RunProbe(misaligned, 7);

  EXPECT_EQ(run.out[1].SetJumpResult, 7u);
  EXPECT_TRUE(SameRegisters(run.in, run.out[1]));
  const std::string report = ReportPattern("MdePkg/Library/BaseLib/SetJump", "((UINTN)JumpBuffer & (8 - 1)) == 0");
  EXPECT_TRUE(std::regex_match(Console(), std::regex(report + report))) << "once by SetJump, once by LongJump:\n"
                                                                        << Console();
  EXPECT_EQ(breakpoints.Count(), 2);
}

TEST_F(JumpContextTest, ValueZeroIsReportedAndSetJumpStillReturnsNonZero) {
  alignas(8) JumpContext context{};
  const ProbeRun run = RunProbe(&context, 0);

  EXPECT_EQ(run.out[1].SetJumpResult, 1u) << "0 would send the caller down its direct path again";
  EXPECT_TRUE(SameRegisters(run.in, run.out[1]));
  EXPECT_TRUE(std::regex_match(Console(), std::regex(ReportPattern("MdePkg/Library/BaseLib/LongJump", "Value != 0"))))
      << Console();
  EXPECT_EQ(breakpoints.Count(), 1);
}

namespace {
sim::Platform *gHaltedPlatform = nullptr;

// Reached only by the alarm: what the UART sent, then a recognisable exit.
void ReportConsoleAndExit(int) {
  gHaltedPlatform->uart.DrainAll();
  const std::string &text = gHaltedPlatform->uart.Sent();
  ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
  (void)ignored;
  ::_exit(42);
}

// In a child process: LongJump with a null buffer, which has nothing to
// resume; the alarm ends the child if LongJump neither returns nor crashes.
void LongJumpOnNullBufferInChild() {
  testsupport::BreakpointCounter breakpoints;
  gHaltedPlatform = new sim::Platform;
  ::signal(SIGALRM, ReportConsoleAndExit);
  ::alarm(1);
  LongJump(nullptr, 5);
}
}  // namespace

TEST(JumpContextDeathTest, NullBufferInLongJumpIsReportedAndHaltsThere) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(LongJumpOnNullBufferInChild(), ::testing::ExitedWithCode(42),
              ReportPattern("MdePkg/Library/BaseLib/SetJump", "JumpBuffer != ((void *) 0)"));
}
