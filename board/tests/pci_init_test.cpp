// The server's bus start-up: banner, then the failure messages and exit statuses.
#include "board/pci_init.h"

#include <gtest/gtest.h>

#include "testing/sim_board.h"

namespace {

using zoltest::process_board;

// Each death test runs in a freshly started copy of this program, which opens (and at its
// end removes) a board of its own; the fault is set there, just before the call.
class InitializePci : public testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(InitializePci, FailedInitEndsWithTheErrorNumber) {
  EXPECT_EXIT(
      {
        process_board()->set_init_fail(19);
        initialize_PCI();
      },
      testing::ExitedWithCode(19), "local bus init: No such device");
}

TEST_F(InitializePci, FailedMapEndsWithStatusOne) {
  EXPECT_EXIT(
      {
        process_board()->set_map_fail(12);
        initialize_PCI();
      },
      testing::ExitedWithCode(1), "lb_map: Cannot allocate memory");
}

TEST_F(InitializePci, InitFailureThatWouldReadAsSuccessEndsWithStatusOne) {
  EXPECT_EXIT(
      {
        process_board()->set_init_fail(256);
        initialize_PCI();
      },
      testing::ExitedWithCode(1), "local bus init");
}

TEST_F(InitializePci, PrintsTheBannerAndTwoEmptyLinesBeforeOpening) {
  process_board();
  testing::internal::CaptureStdout();
  initialize_PCI();
  std::fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Initializing PCI\n\n\n");
}

}  // namespace
