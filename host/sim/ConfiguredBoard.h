// The board this build is configured for: its generated settings header
// (cmake/Board.cmake), named by full path so it is always the configured
// board's, whatever other board's settings a target also sees.  The
// simulated platform lays itself out from it by default.
#pragma once

#include "Base.h"  // TRUE and FALSE, in which the switches are written

#include VEXA_CONFIGURED_BOARD_SETTINGS
