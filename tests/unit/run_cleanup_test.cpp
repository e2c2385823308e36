#include "app/run_cleanup.h"

#include "standin_test.h"

using RunCleanupTest = StandinTest;

TEST_F(RunCleanupTest, NothingToCleanStillWritesEveryStepAndReturnsZero) {
  EXPECT_EQ(RunCleanup(), 0);
  EXPECT_EQ(output(),
            "\n"
            "C:/Users/user1/AppData/Roaming/Velmirant -> 0\n"
            "C:/Program Files (x86)/Velmirant -> 0\n"
            "\n");
}

TEST_F(RunCleanupTest, ReturnsZeroWhenEveryActionFails) {
  state().processes = {standin::Running(L"vexdesktop.exe", 10), standin::Running(L"vexpp.exe", 11)};
  state().processes[0].openFails = true;
  state().processes[1].terminateFails = true;
  state().knownFolders[platform::KnownFolder::RoamingAppData] = {static_cast<std::int32_t>(0x80070005u), L""};
  state().knownFolders[platform::KnownFolder::ProgramFilesX86] = {static_cast<std::int32_t>(0x80070005u), L""};
  EXPECT_EQ(RunCleanup(), 0);
  EXPECT_EQ(output(),
            "vexdesktop.exe:vexpp.exe: TerminateProcess() fail\n"
            "\n"
            "{3EB685DB-65F9-4CF6-A03A-E3EF65729F3D}/Velmirant -> -2147024891\n"
            "{7C5A40EF-A0FB-4BFC-874A-C0F2E0B9FA8E}/Velmirant -> -2147024891\n"
            "\n");
}
