#include "app/run_cleanup.h"

#include "standin_test.h"

namespace {

using RunCleanupTest = StandinTest;

int CountLines(const std::string& text, const std::string& ending) {
  int count = 0;
  for (std::size_t pos = text.find(ending); pos != std::string::npos; pos = text.find(ending, pos + 1)) ++count;
  return count;
}

TEST_F(RunCleanupTest, NothingToCleanStillWritesEveryLineAndReturnsZero) {
  EXPECT_EQ(RunCleanup(), 0);
  const std::string head =
      "\n"
      "C:/Users/user1/AppData/Roaming/Velmirant -> 0\n"
      "C:/Program Files (x86)/Velmirant -> 0\n"
      "\n";
  ASSERT_EQ(output().substr(0, head.size()), head);
  const std::string registry = output().substr(head.size());
  EXPECT_EQ(CountLines(registry, "\n"), 12);
  EXPECT_EQ(CountLines(registry, " -> 2\n"), 12);  // whatever the platform said for absent entries
  EXPECT_EQ(registry.back(), '\n');
  EXPECT_NE(registry.find("HKEY_LOCAL_MACHINE"), std::string::npos);
}

TEST_F(RunCleanupTest, StepsRunOnceEachInTheirFixedOrder) {
  state().processes = {standin::Running(L"vexpp.exe", 10)};
  RunCleanup();
  EXPECT_EQ(IndexOf("RestrictDllSearch"), 0);  // before anything else
  EXPECT_EQ(standin::Count("CreateToolhelp32Snapshot"), 1);
  EXPECT_EQ(standin::Count("SHGetKnownFolderPath"), 2);
  EXPECT_EQ(standin::Count("RegDelete"), 12);
  EXPECT_LT(IndexOf("CloseHandle process 10"), IndexOf("SHGetKnownFolderPath"));
  EXPECT_LT(IndexOf("CoTaskMemFree C:\\Program Files"), IndexOf("RegDelete"));
}

TEST_F(RunCleanupTest, ReturnsZeroWhenEveryActionFails) {
  state().processes = {standin::Running(L"vexdesktop.exe", 10), standin::Running(L"vexpp.exe", 11)};
  state().processes[0].openFails = true;
  state().processes[1].terminateFails = true;
  state().knownFolders[platform::KnownFolder::RoamingAppData] = {static_cast<std::int32_t>(0x80070005u), L""};
  state().knownFolders[platform::KnownFolder::ProgramFilesX86] = {static_cast<std::int32_t>(0x80070005u), L""};
  state().registryAbsentStatus = 5;
  EXPECT_EQ(RunCleanup(), 0);
  const std::string head =
      "vexdesktop.exe:vexpp.exe: TerminateProcess() fail\n"
      "\n"
      "{3EB685DB-65F9-4CF6-A03A-E3EF65729F3D}/Velmirant -> -2147024891\n"
      "{7C5A40EF-A0FB-4BFC-874A-C0F2E0B9FA8E}/Velmirant -> -2147024891\n"
      "\n";
  ASSERT_EQ(output().substr(0, head.size()), head);
  EXPECT_EQ(CountLines(output().substr(head.size()), " -> 5\n"), 12);
}

}  // namespace
