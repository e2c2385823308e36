#include "app/run_cleanup.h"

#include "standin_test.h"

using RunCleanupTest = StandinTest;

TEST_F(RunCleanupTest, NothingToCleanStillWritesEveryStepAndReturnsZero) {
  EXPECT_EQ(RunCleanup(), 0);
  EXPECT_EQ(output(), "\n");
}

TEST_F(RunCleanupTest, ReturnsZeroWhenEveryActionFails) {
  state().processes = {standin::Running(L"vexdesktop.exe", 10), standin::Running(L"vexpp.exe", 11)};
  state().processes[0].openFails = true;
  state().processes[1].terminateFails = true;
  EXPECT_EQ(RunCleanup(), 0);
  EXPECT_EQ(output(), "vexdesktop.exe:vexpp.exe: TerminateProcess() fail\n\n");
}
