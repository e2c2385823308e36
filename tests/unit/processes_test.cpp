#include "cleanup/processes.h"

#include "standin_test.h"

TEST(IsTargetProcessName, ExactNamesMatchOnlyWithTheirOwnCase) {
  EXPECT_TRUE(IsTargetProcessName(L"vexdesktop.exe"));
  EXPECT_TRUE(IsTargetProcessName(L"vexinstall.exe"));
  EXPECT_TRUE(IsTargetProcessName(L"vexpp.exe"));
  EXPECT_FALSE(IsTargetProcessName(L"VexDesktop.exe"));
  EXPECT_FALSE(IsTargetProcessName(L"VEXPP.EXE"));
  EXPECT_FALSE(IsTargetProcessName(L"vexpp"));
}

TEST(IsTargetProcessName, ExactNamesMustBeWhole) {
  EXPECT_FALSE(IsTargetProcessName(L"vexpp.exe.old"));
  EXPECT_FALSE(IsTargetProcessName(L"xvexpp.exe"));
  EXPECT_FALSE(IsTargetProcessName(L"vexdesktop.ex"));
  EXPECT_FALSE(IsTargetProcessName(std::wstring(L"vexpp.exe\0", 10)));
  EXPECT_TRUE(IsTargetProcessName(L"xvexpp-panelino.exe"));
}

TEST(IsTargetProcessName, FragmentMatchesAnywhereWithItsOwnCase) {
  EXPECT_TRUE(IsTargetProcessName(L"panelino"));
  EXPECT_TRUE(IsTargetProcessName(L"panelino.exe"));
  EXPECT_TRUE(IsTargetProcessName(L"mypanelinotool.exe"));
  EXPECT_TRUE(IsTargetProcessName(L"\u0436panelino.exe"));
  EXPECT_FALSE(IsTargetProcessName(L"Panelino.exe"));
  EXPECT_FALSE(IsTargetProcessName(L"paneli"));
  EXPECT_FALSE(IsTargetProcessName(L"panelin"));
  EXPECT_FALSE(IsTargetProcessName(L""));
  EXPECT_FALSE(IsTargetProcessName(L"explorer.exe"));
}

class TerminateTargetProcessesTest : public StandinTest {
 protected:
  static standin::Process Target(const wchar_t* name, std::uint32_t id) { return standin::Running(name, id); }
};

TEST_F(TerminateTargetProcessesTest, NoTargetRunningWritesOneEmptyLine) {
  state().processes = {Target(L"explorer.exe", 1), Target(L"VexDesktop.exe", 2), Target(L"Panelino.exe", 3)};
  TerminateTargetProcesses();
  EXPECT_EQ(output(), "\n");
  EXPECT_EQ(standin::Count("OpenProcess"), 0);
}

TEST_F(TerminateTargetProcessesTest, EveryTargetIsTerminatedWithExitCodeOneInSnapshotOrder) {
  state().processes = {Target(L"vexdesktop.exe", 10), Target(L"notepad.exe", 11), Target(L"vexdesktop.exe", 12),
                       Target(L"mypanelinotool.exe", 13), Target(L"vexinstall.exe", 14), Target(L"vexpp.exe", 15)};
  TerminateTargetProcesses();
  EXPECT_EQ(output(),
            "vexdesktop.exe: TerminateProcess() OK\n"
            "vexdesktop.exe: TerminateProcess() OK\n"
            "mypanelinotool.exe: TerminateProcess() OK\n"
            "vexinstall.exe: TerminateProcess() OK\n"
            "vexpp.exe: TerminateProcess() OK\n"
            "\n");
  for (const char* id : {"10", "12", "13", "14", "15"}) {
    EXPECT_EQ(standin::Count(std::string("TerminateProcess ") + id + " 1"), 1) << id;
  }
  EXPECT_EQ(standin::Count("OpenProcess 11 "), 0);
  // Opened with the right to terminate (and to read the image name).
  EXPECT_EQ(standin::Count("access 4097"), 5);
}

TEST_F(TerminateTargetProcessesTest, SnapshotFailureGivesAnEmptyListAndNothingToClose) {
  state().snapshotFails = true;
  state().processes = {Target(L"vexpp.exe", 5)};
  TerminateTargetProcesses();
  EXPECT_EQ(output(), "\n");
  EXPECT_EQ(standin::Count("Process32"), 0);
  EXPECT_EQ(standin::Count("CloseHandle"), 0);
}

TEST_F(TerminateTargetProcessesTest, FailingFirstWalkCallStillClosesTheSnapshot) {
  state().processes = {Target(L"vexpp.exe", 5)};
  state().walkFailsAt = 0;
  TerminateTargetProcesses();
  EXPECT_EQ(output(), "\n");
  EXPECT_EQ(standin::Count("CloseHandle snapshot"), 1);
  EXPECT_EQ(standin::Count("OpenProcess"), 0);
}

TEST_F(TerminateTargetProcessesTest, WalkFailingMidwayHandlesTheEntriesGathered) {
  state().processes = {Target(L"vexpp.exe", 5), Target(L"vexdesktop.exe", 6), Target(L"vexinstall.exe", 7)};
  state().walkFailsAt = 2;
  TerminateTargetProcesses();
  EXPECT_EQ(output(), "vexpp.exe: TerminateProcess() OK\nvexdesktop.exe: TerminateProcess() OK\n\n");
  EXPECT_EQ(standin::Count("OpenProcess 7 "), 0);
}

TEST_F(TerminateTargetProcessesTest, SnapshotIsClosedBeforeTheFirstOpenAndEachHandleAfterItsLine) {
  state().processes = {Target(L"vexpp.exe", 5), Target(L"panelino.exe", 6)};
  TerminateTargetProcesses();
  const int closeSnapshot = IndexOf("CloseHandle snapshot");
  const int lastWalk = IndexOf("Process32NextW", IndexOf("Process32NextW", IndexOf("Process32NextW") + 1));
  const int firstOpen = IndexOf("OpenProcess");
  ASSERT_GE(closeSnapshot, 0);
  EXPECT_LT(lastWalk, closeSnapshot);
  EXPECT_LT(closeSnapshot, firstOpen);
  // open 5, terminate 5, outcome text, line end, close 5, then the next target.
  const int terminate5 = IndexOf("TerminateProcess 5");
  const int line5 = IndexOf("write \n", terminate5);
  const int close5 = IndexOf("CloseHandle process 5");
  const int open6 = IndexOf("OpenProcess 6 ");
  EXPECT_LT(firstOpen, terminate5);
  EXPECT_LT(terminate5, line5);
  EXPECT_LT(line5, close5);
  EXPECT_LT(close5, open6);
  EXPECT_EQ(standin::Count("CloseHandle process 6"), 1);
}

TEST_F(TerminateTargetProcessesTest, TargetsThatFailToOpenLeaveTheirNamesOnOneOpenLine) {
  state().processes = {Target(L"vexdesktop.exe", 5), Target(L"vexpp.exe", 6), Target(L"panelino", 7)};
  state().processes[0].openFails = true;
  state().processes[1].openFails = true;
  TerminateTargetProcesses();
  EXPECT_EQ(output(), "vexdesktop.exe:vexpp.exe:panelino: TerminateProcess() OK\n\n");
  EXPECT_EQ(standin::Count("TerminateProcess 5"), 0);
  EXPECT_EQ(standin::Count("TerminateProcess 6"), 0);
}

TEST_F(TerminateTargetProcessesTest, LastTargetFailingToOpenIsEndedByTheClosingLineEnd) {
  state().processes = {Target(L"vexpp.exe", 5), Target(L"vexinstall.exe", 6)};
  state().processes[1].openFails = true;
  TerminateTargetProcesses();
  EXPECT_EQ(output(), "vexpp.exe: TerminateProcess() OK\nvexinstall.exe:\n");
}

TEST_F(TerminateTargetProcessesTest, FailedTerminateIsReportedAndTheStepGoesOn) {
  state().processes = {Target(L"vexpp.exe", 5), Target(L"vexinstall.exe", 6)};
  state().processes[0].terminateFails = true;
  TerminateTargetProcesses();
  EXPECT_EQ(output(), "vexpp.exe: TerminateProcess() fail\nvexinstall.exe: TerminateProcess() OK\n\n");
  EXPECT_EQ(standin::Count("CloseHandle process 5"), 1);
}

TEST_F(TerminateTargetProcessesTest, IdTakenByAnotherProgramIsLeftAloneLikeAFailedOpen) {
  state().processes = {Target(L"vexpp.exe", 5), Target(L"vexinstall.exe", 6)};
  state().processes[0].imagePath = L"C:\\Windows\\System32\\svchost.exe";
  TerminateTargetProcesses();
  EXPECT_EQ(output(), "vexpp.exe:vexinstall.exe: TerminateProcess() OK\n\n");
  EXPECT_EQ(standin::Count("TerminateProcess 5"), 0);
  EXPECT_EQ(standin::Count("CloseHandle process 5"), 1);
}

TEST_F(TerminateTargetProcessesTest, RecordedNameIsComparedWithTheImageFileNameOnly) {
  state().processes = {Target(L"vexpp.exe", 5), Target(L"vexdesktop.exe", 6), Target(L"vexinstall.exe", 7),
                       Target(L"Azpanelino-aZ.exe", 8)};
  state().processes[0].imagePath = L"\\Device\\HarddiskVolume2\\Velmirant\\vexpp.exe.bak";
  state().processes[1].imagePath = L"C:\\PROGRA~2\\Velmirant\\VEXDESKTOP.EXE";  // same file name
  state().processes[2].imagePath = L"vexinstall.exe";                          // no folder at all
  state().processes[3].imagePath = L"C:\\Tools\\aZPANELINO-Az.EXE";           // capitals on both sides
  TerminateTargetProcesses();
  EXPECT_EQ(output(), "vexpp.exe:vexdesktop.exe: TerminateProcess() OK\nvexinstall.exe: TerminateProcess() OK\n"
                      "Azpanelino-aZ.exe: TerminateProcess() OK\n\n");
}

TEST_F(TerminateTargetProcessesTest, UnreadableImageNameOrRefusedQueryRightFallsBackToTheRecordedId) {
  state().processes = {Target(L"vexpp.exe", 5), Target(L"vexinstall.exe", 6)};
  state().processes[0].imageUnreadable = true;
  state().processes[1].queryRightRefused = true;
  TerminateTargetProcesses();
  EXPECT_EQ(output(), "vexpp.exe: TerminateProcess() OK\nvexinstall.exe: TerminateProcess() OK\n\n");
  EXPECT_EQ(standin::Count("OpenProcess 6 access 1"), 1);  // PROCESS_TERMINATE alone
}

TEST_F(TerminateTargetProcessesTest, NameOutsideTheCodePageIsWrittenWithQuestionMarksAndLaterLinesSurvive) {
  state().processes = {Target(L"\u0436\u4e2dpanelino.exe", 5), Target(L"vexpp.exe", 6)};
  TerminateTargetProcesses();
  EXPECT_EQ(output(), "??panelino.exe: TerminateProcess() OK\nvexpp.exe: TerminateProcess() OK\n\n");
}
