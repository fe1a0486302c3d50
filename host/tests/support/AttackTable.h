// The named attacks' expected verdicts, one row per attack and board, for the
// main job on the simulator (mainjob/) and on QEMU (qemu/): the configured
// board defends the plain clear and loses the rest, naming what its handler
// saw; the q35 board, which checks its window, defends all five.  A defended
// attack also gave 0xCF8 back and kept the lock's other bits.
#pragma once

namespace testsupport {

struct AttackRow {
  const char *attack;
  bool q35Board;  // false: the configured board
  int status;     // the main job's exit status
  const char *text;    // on both platforms
  const char *simText;  // on the simulator, which sees the handler's every access (QEMU logs none to plain memory)
};

inline const AttackRow kAttackRows[] = {
    {"clear", false, 0, "; attacks: clear defended\n", ""},
    {"move-window", false, 1,
     "move-window: not defended: the PCI Express window no longer decodes at 0x80000000: the handler ",
     "the handler read 0xFF and wrote nothing (the window moved to 0xB0000000; attempt 1 left the lock clear)"},
    {"fake-window", false, 1,
     "fake-window: not defended: the PCI Express window no longer decodes at 0x80000000: the handler ",
     "the handler read 0x01 and wrote nothing (the window moved to 0xB0000000, a framebuffer put at 0x80000000; "
     "attempt 1 left the lock clear)"},
    {"window-above-4g", false, 1,
     "window-above-4g: not defended: the PCI Express window no longer decodes at 0x80000000: the handler ",
     "the handler read 0xFF and wrote nothing (the window moved to 0x180000000; attempt 1 left the lock clear)"},
    {"window-off", false, 1,
     "window-off: not defended: the PCI Express window no longer decodes at 0x80000000: the handler ",
     "the handler read 0xFF and wrote nothing (the window's decoding switched off; attempt 1 left the lock clear)"},
    {"clear", true, 0, "; attacks: clear defended\n", ""},
    {"move-window", true, 0, "; attacks: move-window defended\n", ""},
    {"fake-window", true, 0, "; attacks: fake-window defended\n", ""},
    {"window-above-4g", true, 0, "; attacks: window-above-4g defended\n", ""},
    {"window-off", true, 0, "; attacks: window-off defended\n", ""},
};

}  // namespace testsupport
