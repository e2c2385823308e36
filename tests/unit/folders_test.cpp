#include "cleanup/folders.h"
#include "platform/remove_tree.h"

#include "standin_test.h"

namespace {

const std::wstring kRoaming = L"C:\\Users\\user1\\AppData\\Roaming";
const std::wstring kPerUser = kRoaming + L"\\Velmirant";
const std::wstring kProgram = L"C:\\Program Files (x86)\\Velmirant";
const std::string kPerUserLine = "C:/Users/user1/AppData/Roaming/Velmirant -> ";
const std::string kProgramLine = "C:/Program Files (x86)/Velmirant -> ";

class FoldersTest : public StandinTest {
 protected:
  void SetUp() override {
    StandinTest::SetUp();
    for (const wchar_t* path : {L"C:\\", L"C:\\Users", L"C:\\Users\\user1", L"C:\\Users\\user1\\AppData",
                                L"C:\\Users\\user1\\AppData\\Roaming", L"C:\\Program Files (x86)"}) {
      standin::AddFolder(path);
    }
  }
  static void AddVendorTree(const std::wstring& top) {
    standin::AddFolder(top);
    standin::AddFolder(top + L"\\cache");
    standin::AddFile(top + L"\\cache\\a.bin");
    standin::AddFile(top + L"\\settings.json");
  }
  static std::string Marks(int count) { return std::string(static_cast<std::size_t>(count), '!'); }
};

TEST_F(FoldersTest, BothFoldersAbsentGiveCodeZeroWithoutMarks) {
  RemoveVendorFolders();
  EXPECT_EQ(output(), kPerUserLine + "0\n" + kProgramLine + "0\n\n");
  EXPECT_EQ(standin::Count("Sleep"), 0);
}

TEST_F(FoldersTest, BothTreesAreRemovedAndTheirNeighboursStay) {
  AddVendorTree(kPerUser);
  AddVendorTree(kProgram);
  standin::AddFile(kRoaming + L"\\Velmirant.txt");
  standin::AddFolder(L"C:\\Program Files (x86)\\VelmirantX");
  RemoveVendorFolders();
  EXPECT_EQ(output(), kPerUserLine + "0\n" + kProgramLine + "0\n\n");
  EXPECT_FALSE(standin::Exists(kPerUser));
  EXPECT_FALSE(standin::Exists(kProgram));
  EXPECT_TRUE(standin::Exists(kRoaming + L"\\Velmirant.txt"));
  EXPECT_TRUE(standin::Exists(L"C:\\Program Files (x86)\\VelmirantX"));
}

TEST_F(FoldersTest, PosixRefusalOnOneFolderLeavesTheOtherItsOwn) {
  // The roaming folder redirected to a share that refuses POSIX deletion; the program folder on a
  // local disk, with a file an antivirus scanner holds with delete sharing.
  AddVendorTree(kPerUser);
  for (auto& [path, node] : state().files) {
    if (path.rfind(kPerUser, 0) == 0) node.posixDeleteError = 50;
  }
  AddVendorTree(kProgram);
  state().files[kProgram + L"\\settings.json"].heldWithDeleteSharing = true;
  RemoveVendorFolders();
  EXPECT_EQ(output(), kPerUserLine + "0\n" + kProgramLine + "0\n\n");
  EXPECT_FALSE(standin::Exists(kProgram));
}

TEST_F(FoldersTest, PerUserFolderFreedAtALaterAttemptShowsOneMarkPerFailedAttempt) {
  for (const int failures : {2, 49}) {  // freed at the third attempt, and at the last one
    AddVendorTree(kPerUser);
    state().files[kPerUser + L"\\settings.json"].openError = 32;
    state().files[kPerUser + L"\\settings.json"].openErrorTimes = failures;
    state().output.clear();
    state().calls.clear();
    EXPECT_EQ(RemoveFolderWithRetry(kPerUser), 0u);
    EXPECT_EQ(output(), Marks(failures));
    EXPECT_EQ(standin::Count("Sleep 10"), failures);
    EXPECT_EQ(standin::Count("GetFileAttributesW"), failures + 1);
    EXPECT_FALSE(standin::Exists(kPerUser));
  }
}

TEST_F(FoldersTest, PerUserFolderThatNeverGoesShowsFiftyMarksAndTheLastCode) {
  AddVendorTree(kPerUser);
  state().files[kPerUser + L"\\cache\\a.bin"].deleteError = 5;
  RemoveVendorFolders();
  EXPECT_EQ(output(), Marks(50) + kPerUserLine + "5\n" + kProgramLine + "0\n\n");
  EXPECT_EQ(standin::Count("Sleep 10"), 50);  // the pause follows the last failed attempt too
  EXPECT_EQ(standin::Count("GetFileAttributesW " + standin::Narrow(kPerUser)), 50);
  EXPECT_TRUE(standin::Exists(kPerUser + L"\\cache\\a.bin"));
}

TEST_F(FoldersTest, ProgramFolderGetsOneAttemptAndNoMarks) {
  AddVendorTree(kProgram);
  state().files[kProgram + L"\\settings.json"].openError = 5;
  RemoveVendorFolders();
  EXPECT_EQ(output(), kPerUserLine + "0\n" + kProgramLine + "5\n\n");
  EXPECT_EQ(standin::Count("Sleep"), 0);
  EXPECT_EQ(standin::Count("GetFileAttributesW " + standin::Narrow(kProgram)), 1);
}

TEST_F(FoldersTest, UnresolvedBaseRemovesNothingAndShowsItsIdentifier) {
  state().knownFolders[platform::KnownFolder::RoamingAppData] = {static_cast<std::int32_t>(0x80070002u), L""};
  state().knownFolders[platform::KnownFolder::ProgramFilesX86] = {static_cast<std::int32_t>(0x80004005u), L""};
  standin::AddFolder(L"Velmirant");  // what a join with no base would name: the current folder's
  RemoveVendorFolders();
  EXPECT_EQ(output(),
            "{3EB685DB-65F9-4CF6-A03A-E3EF65729F3D}/Velmirant -> -2147024894\n"
            "{7C5A40EF-A0FB-4BFC-874A-C0F2E0B9FA8E}/Velmirant -> -2147467259\n\n");
  EXPECT_EQ(standin::Count("GetFileAttributesW"), 0);
  EXPECT_TRUE(standin::Exists(L"Velmirant"));
  // A base that is resolved but empty or relative names no one place either: nothing is removed,
  // and the line says why (161, ERROR_BAD_PATHNAME), without marks.
  state().output.clear();
  state().knownFolders[platform::KnownFolder::RoamingAppData] = {0, L"Roaming"};
  state().knownFolders[platform::KnownFolder::ProgramFilesX86] = {0, L""};
  standin::AddFolder(L"Roaming");
  standin::AddFolder(L"Roaming\\Velmirant");
  RemoveVendorFolders();
  EXPECT_EQ(output(), "Roaming/Velmirant -> 161\nVelmirant -> 161\n\n");
  EXPECT_EQ(standin::Count("GetFileAttributesW"), 0);
  EXPECT_TRUE(standin::Exists(L"Velmirant") && standin::Exists(L"Roaming\\Velmirant"));
  // The removal itself refuses such a path too.
  EXPECT_EQ(RemoveTree(L"Roaming\\Velmirant"), 161u);
  EXPECT_EQ(RemoveTree(L"C:Velmirant"), 161u);
  EXPECT_EQ(standin::Count("GetFileAttributesW"), 0);
}

TEST_F(FoldersTest, BaseAtADrivesRootGetsNoSecondSeparatorAndIsCheckedAgainstTheRoot) {
  // Started from D:\Downloads, which "D:" names: the vendor folder's parent is the root, D:\ itself.
  state().currentFolder = L"D:\\Downloads";
  state().knownFolders[platform::KnownFolder::RoamingAppData] = {0, L"D:\\"};
  standin::AddFolder(L"D:\\");
  standin::AddFolder(L"D:\\Downloads");
  AddVendorTree(L"D:\\Velmirant");
  RemoveVendorFolders();
  EXPECT_EQ(output(), "D:/Velmirant -> 0\n" + kProgramLine + "0\n\n");
  EXPECT_FALSE(standin::Exists(L"D:\\Velmirant"));
  // Checked against the root's final path (a parent without one lets the folder through unchecked).
  EXPECT_EQ(standin::Count("GetFinalPath D:\\Velmirant"), 1);
}

TEST_F(FoldersTest, PathOutsideTheCodePageIsRemovedAndShownWithQuestionMarks) {
  const std::wstring roaming = L"C:\\Users\\\u0436\u00e9\\Roaming";
  state().knownFolders[platform::KnownFolder::RoamingAppData] = {0, roaming};
  standin::AddFolder(L"C:\\Users\\\u0436\u00e9");
  standin::AddFolder(roaming);
  AddVendorTree(roaming + L"\\Velmirant");
  RemoveVendorFolders();
  EXPECT_EQ(output(), "C:/Users/?\xe9/Roaming/Velmirant -> 0\n" + kProgramLine + "0\n\n");
  EXPECT_FALSE(standin::Exists(roaming + L"\\Velmirant"));
}

TEST_F(FoldersTest, EachBasePathIsReleasedAfterItsFolderLine) {
  RemoveVendorFolders();
  const int firstLineEnd = IndexOf("write \n");
  const int freeRoaming = IndexOf("CoTaskMemFree C:\\Users");
  const int secondLookup = IndexOf("SHGetKnownFolderPath ProgramFilesX86");
  const int secondLineEnd = IndexOf("write \n", firstLineEnd + 1);
  const int freeProgram = IndexOf("CoTaskMemFree C:\\Program Files");
  ASSERT_GE(freeRoaming, 0);
  ASSERT_GE(freeProgram, 0);
  EXPECT_LT(firstLineEnd, freeRoaming);
  EXPECT_LT(freeRoaming, secondLookup);
  EXPECT_LT(secondLineEnd, freeProgram);
  EXPECT_LT(freeProgram, IndexOf("write \n", secondLineEnd + 1));
}

}  // namespace
