// The main job on QEMU's q35 machine (--qemu): the real image in real SMM
// through the QEMU rig, told the way the simulated platform's run is told.
#pragma once

#include "Options.h"

namespace tool {

// Prints the console, the findings, the trace if asked and the summary;
// returns the exit status.
int RunOnQemu(const Options &o, const std::string &image);

}  // namespace tool
