// The named attacks on the simulated platform, by the main job, for the
// configured board and the q35 board (support/AttackTable.h).

#include <gtest/gtest.h>

#include "support/AttackTable.h"
#include "support/TestSupport.h"

namespace {

TEST(Attacks, EachAttackGetsItsVerdictOnTheSimulator) {
  for (const testsupport::AttackRow &row : testsupport::kAttackRows) {
    SCOPED_TRACE(std::string(row.attack) + (row.q35Board ? " on the q35 board" : " on the configured board"));
    const testsupport::Outcome run =
        testsupport::Shell(testsupport::Quote(VEXA_PLATFORM_TOOL) + " --attempts 5 --attack " + row.attack +
                           " --image " + testsupport::Quote(row.q35Board ? VEXA_Q35_BOARD_IMAGE : VEXA_IMAGE_PATH));
    EXPECT_EQ(run.status, row.status) << run.output;
    EXPECT_NE(run.output.find(row.text), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(row.simText), std::string::npos) << run.output;
  }
}

}  // namespace
