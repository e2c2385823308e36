#include "platform/remove_tree.h"

#include <algorithm>
#include <cstring>

#include "platform/listing.h"
#include "platform/paths.h"
#include "standin_test.h"

namespace {

const std::wstring kTop = L"C:\\Data\\Velmirant";

class RemoveTreeTest : public StandinTest {
 protected:
  void SetUp() override {
    StandinTest::SetUp();
    standin::AddFolder(L"C:\\Data");
    standin::AddFile(L"C:\\Data\\Velmirant.txt");
    standin::AddFolder(L"C:\\Data\\VelmirantX");
    standin::AddFile(L"C:\\Data\\VelmirantX\\keep");
  }
  void ExpectNeighboursUntouched() {
    // Names that merely start like the target must not be taken for entries below it.
    for (const wchar_t* path : {L"C:\\Data", L"C:\\Data\\Velmirant.txt", L"C:\\Data\\VelmirantX\\keep"}) {
      EXPECT_TRUE(standin::Exists(path)) << standin::Narrow(path);
    }
    EXPECT_EQ(standin::Count("VelmirantX"), 0);
    EXPECT_EQ(standin::Count("Velmirant.txt"), 0);
  }
  static void AddLink(const std::wstring& path) {
    standin::AddFolder(path);
    state().files[path].attributes = platform::kAttributeDirectory | platform::kAttributeReparsePoint;
  }
};

TEST_F(RemoveTreeTest, AbsentFolderOrAbsentParentCountsAsRemoved) {
  EXPECT_EQ(RemoveTree(kTop), 0u);
  EXPECT_EQ(RemoveTree(L"C:\\Nowhere\\Velmirant"), 0u);
  ExpectNeighboursUntouched();
}

TEST_F(RemoveTreeTest, DeepWideTreeGoesEntirelyAndNeighboursStay) {
  standin::AddFolder(kTop);
  std::wstring folder = kTop;
  for (int depth = 0; depth < 40; ++depth) {
    for (int i = 0; i < 3; ++i) standin::AddFile(folder + L"\\file" + std::to_wstring(i) + L".dat");
    standin::AddFolder(folder + L"\\empty");
    folder += L"\\level" + std::to_wstring(depth);
    standin::AddFolder(folder);
  }
  EXPECT_EQ(RemoveTree(kTop), 0u);
  EXPECT_FALSE(standin::Exists(kTop));
  EXPECT_EQ(state().files.size(), 4u);  // C:\Data and its three neighbour entries
  ExpectNeighboursUntouched();
}

TEST_F(RemoveTreeTest, FileWhereTheFolderShouldBeIsDeleted) {
  standin::AddFile(kTop);
  EXPECT_EQ(RemoveTree(kTop), 0u);
  EXPECT_FALSE(standin::Exists(kTop));
  ExpectNeighboursUntouched();
}

TEST_F(RemoveTreeTest, LinksInsideAreDeletedAsLinksAndNeverEntered) {
  standin::AddFolder(kTop);
  AddLink(kTop + L"\\junction");
  standin::AddFile(kTop + L"\\file-link");
  state().files[kTop + L"\\file-link"].attributes = 0x20 | platform::kAttributeReparsePoint;
  EXPECT_EQ(RemoveTree(kTop), 0u);
  EXPECT_FALSE(standin::Exists(kTop));
  EXPECT_EQ(standin::Count("junction\\"), 0) << "something below the link was asked for";
  EXPECT_EQ(standin::Count("ListFolder C:\\Data\\Velmirant\\junction"), 0);
  EXPECT_EQ(standin::Count("CreateFileW list C:\\Data\\Velmirant\\junction"), 0);
  EXPECT_EQ(standin::Count("MarkForDeletion C:\\Data\\Velmirant\\junction"), 1);
  ExpectNeighboursUntouched();
}

TEST_F(RemoveTreeTest, TopThatIsALinkIsDeletedWithoutBeingEntered) {
  AddLink(kTop);
  EXPECT_EQ(RemoveTree(kTop), 0u);
  EXPECT_FALSE(standin::Exists(kTop));
  EXPECT_EQ(standin::Count("ListFolder"), 0);
  ExpectNeighboursUntouched();
}

// A caller that made the folder knows its identity: another folder put in its place stays whole.
TEST_F(RemoveTreeTest, TopWithAnotherIdentityThanTheCallerKnowsIsLeftWhole) {
  standin::AddFolder(kTop);
  standin::AddFile(kTop + L"\\file");
  state().files[kTop].fileIndex = 7;
  const platform::FileIdentity made{1, 8};
  EXPECT_EQ(RemoveTree(kTop, &made), kErrorStoppedOnSymlink);
  EXPECT_TRUE(standin::Exists(kTop + L"\\file"));
  EXPECT_EQ(standin::Count("ListFolder"), 0);
  const platform::FileIdentity same{1, 7};
  EXPECT_EQ(RemoveTree(kTop, &same), 0u);
  EXPECT_FALSE(standin::Exists(kTop));
  ExpectNeighboursUntouched();
}

TEST_F(RemoveTreeTest, LinkTheSystemFollowsIsRefusedNotDeletedThroughIt) {
  standin::AddFolder(kTop);
  standin::AddFile(kTop + L"\\link");  // a file link (the folder links Wine follows: end to end)
  state().files[kTop + L"\\link"].attributes = 0x20 | platform::kAttributeReparsePoint;
  state().files[kTop + L"\\link"].handleAttributes = 0x20;  // the handle is on the target
  EXPECT_EQ(RemoveTree(kTop), kErrorNotAReparsePoint);
  EXPECT_EQ(standin::Count("MarkForDeletion"), 0);
  EXPECT_TRUE(standin::Exists(kTop + L"\\link"));
  ExpectNeighboursUntouched();
}

TEST_F(RemoveTreeTest, FolderSwappedForALinkAfterListingIsNotEntered) {
  standin::AddFolder(kTop);
  standin::AddFolder(kTop + L"\\sub");
  state().files[kTop + L"\\sub"].handleAttributes = platform::kAttributeDirectory | platform::kAttributeReparsePoint;
  EXPECT_EQ(RemoveTree(kTop), 0u);
  EXPECT_EQ(standin::Count("ListFolder C:\\Data\\Velmirant\\sub"), 0);
  EXPECT_FALSE(standin::Exists(kTop));
}

TEST_F(RemoveTreeTest, FolderSwappedInForAFileIsNotEnteredAndStopsTheRemoval) {
  standin::AddFolder(kTop);
  standin::AddFile(kTop + L"\\was-a-file");
  state().files[kTop + L"\\was-a-file"].handleAttributes = platform::kAttributeDirectory;
  standin::AddFile(kTop + L"\\was-a-file\\inside");
  EXPECT_EQ(RemoveTree(kTop), 145u);  // ERROR_DIR_NOT_EMPTY
  EXPECT_TRUE(standin::Exists(kTop + L"\\was-a-file\\inside"));
  EXPECT_EQ(standin::Count("ListFolder C:\\Data\\Velmirant\\was-a-file"), 0);
}

TEST_F(RemoveTreeTest, FirstFailureStopsAndWhatWentBeforeStaysGone) {
  standin::AddFolder(kTop);
  standin::AddFile(kTop + L"\\a-first");
  standin::AddFile(kTop + L"\\b-read-only");
  state().files[kTop + L"\\b-read-only"].deleteError = 5;
  standin::AddFile(kTop + L"\\c-after");
  EXPECT_EQ(RemoveTree(kTop), 5u);
  EXPECT_FALSE(standin::Exists(kTop + L"\\a-first"));
  EXPECT_TRUE(standin::Exists(kTop + L"\\b-read-only"));
  EXPECT_TRUE(standin::Exists(kTop + L"\\c-after"));
  EXPECT_EQ(standin::Count("c-after"), 0);
  EXPECT_TRUE(standin::Exists(kTop));
}

TEST_F(RemoveTreeTest, OpenAndListFailuresAreReturnedUnchanged) {
  standin::AddFolder(kTop);
  standin::AddFile(kTop + L"\\held");
  state().files[kTop + L"\\held"].openError = 32;
  EXPECT_EQ(RemoveTree(kTop), 32u);
  state().files[kTop + L"\\held"].openError = 0;
  state().files[kTop].listError = 1117;
  EXPECT_EQ(RemoveTree(kTop), 1117u);
  EXPECT_TRUE(standin::Exists(kTop + L"\\held"));
}

TEST_F(RemoveTreeTest, EntryGoneBetweenListingAndOpeningIsSkipped) {
  // Gone (STATUS_OBJECT_NAME_NOT_FOUND or STATUS_OBJECT_PATH_NOT_FOUND) or delete-pending when its
  // open comes: opened relative to its held folder, and in sub by its path, as on a volume that
  // refuses relative opens below the first level.
  standin::AddFolder(kTop);
  standin::AddFolder(kTop + L"\\sub");
  for (const std::wstring& folder : {kTop, kTop + L"\\sub"}) {
    standin::AddFile(folder + L"\\a-name-gone");
    state().files[folder + L"\\a-name-gone"].openError = platform::kErrorFileNotFound;
    standin::AddFile(folder + L"\\b-path-gone");
    state().files[folder + L"\\b-path-gone"].openError = platform::kErrorPathNotFound;
    standin::AddFile(folder + L"\\c-pending");
    state().files[folder + L"\\c-pending"].deletePending = true;
    standin::AddFile(folder + L"\\d-other");
  }
  state().nestedRelativeOpenStatus = 0xC00000BE;  // STATUS_BAD_NETWORK_PATH, as WinFsp answers
  // The stand-in keeps those entries, so sub cannot go; what matters is that the removal went on.
  EXPECT_EQ(RemoveTree(kTop), 145u);
  EXPECT_FALSE(standin::Exists(kTop + L"\\d-other"));
  EXPECT_FALSE(standin::Exists(kTop + L"\\sub\\d-other"));
  EXPECT_EQ(standin::Count("CreateFileW C:\\Data\\Velmirant\\sub\\"), 4);
  // The top, always opened by its path, gone between its attributes and its open.
  state().files[kTop].openError = platform::kErrorFileNotFound;
  EXPECT_EQ(RemoveTree(kTop), 0u);
}

TEST_F(RemoveTreeTest, HandleThatReachesSomewhereElseIsNeitherDeletedNorEntered) {
  standin::AddFolder(kTop);
  standin::AddFile(kTop + L"\\a-file-link");
  standin::AddFolder(kTop + L"\\b-swapped");
  standin::AddFile(kTop + L"\\b-swapped\\inside");
  // The vendor folder itself, opened by its path, is checked everywhere; then, under Wine, whose
  // opens follow links whatever they ask, a file and a folder, each reaching outside when opened.
  state().files[kTop].finalPath = L"\\\\?\\Z:\\outside";
  EXPECT_EQ(RemoveTree(kTop), kErrorStoppedOnSymlink);
  state().opensMayFollowLinks = true;
  EXPECT_EQ(RemoveTree(kTop), kErrorStoppedOnSymlink);
  state().files[kTop].finalPath = L"\\\\?\\c:\\data\\VELMIRANT";  // the same entry, as the system spells it
  state().files[kTop + L"\\a-file-link"].finalPath = L"\\\\?\\Z:\\outside\\precious.dat";
  EXPECT_EQ(RemoveTree(kTop), kErrorStoppedOnSymlink);
  state().files[kTop + L"\\a-file-link"].finalPath.reset();
  state().files[kTop + L"\\b-swapped"].finalPath = L"\\\\?\\Z:\\outside";
  EXPECT_EQ(RemoveTree(kTop), kErrorStoppedOnSymlink);
  EXPECT_EQ(standin::Count("MarkForDeletion C:\\Data\\Velmirant\\a-file-link"), 1);  // after its final path was mended
  EXPECT_EQ(standin::Count("MarkForDeletion C:\\Data\\Velmirant\\b-swapped"), 0);
  EXPECT_EQ(standin::Count("ListFolder C:\\Data\\Velmirant\\b-swapped"), 0);
  EXPECT_EQ(standin::Count("MarkForDeletion C:\\Data\\Velmirant ("), 0);
  EXPECT_TRUE(standin::Exists(kTop + L"\\b-swapped\\inside"));
  // An entry that gives no final path where its folder did is not trusted either.
  state().files[kTop + L"\\b-swapped"].finalPath.reset();
  state().files[kTop + L"\\b-swapped"].finalPathError = 3;
  EXPECT_EQ(RemoveTree(kTop), 3u);
  EXPECT_EQ(standin::Count("ListFolder C:\\Data\\Velmirant\\b-swapped"), 0);
  state().files[kTop + L"\\b-swapped"].finalPathError = 0;
  // A base that gives no final path: the vendor folder's own final path still checks its entries.
  state().files[L"C:\\Data"].finalPathError = 1;
  state().files[kTop + L"\\a-file-link"].finalPath = L"\\\\?\\Z:\\outside\\precious.dat";
  EXPECT_EQ(RemoveTree(kTop), kErrorStoppedOnSymlink);
  // And one that gives none at all: the removal goes on as without the check.
  state().files[kTop].finalPathError = 1;
  EXPECT_EQ(RemoveTree(kTop), 0u);
  EXPECT_FALSE(standin::Exists(kTop));
  ExpectNeighboursUntouched();
}

TEST_F(RemoveTreeTest, PosixDeletionLetsAFileHeldWithDeleteSharingGoAtOnce) {
  standin::AddFolder(kTop);
  standin::AddFile(kTop + L"\\scanned");
  state().files[kTop + L"\\scanned"].heldWithDeleteSharing = true;
  EXPECT_EQ(RemoveTree(kTop), 0u);
  EXPECT_FALSE(standin::Exists(kTop));
  EXPECT_EQ(standin::Count("(posix, ignore read-only)"), 2);
}

TEST_F(RemoveTreeTest, RefusedPosixDeletionFallsBackForThatTreeAndPendingEntriesCountAsGone) {
  standin::AddFolder(kTop);
  standin::AddFile(kTop + L"\\a-held");
  // A refusal that is about the file, not the call, is the outcome: no fallback.
  state().posixDeleteError = 5;
  EXPECT_EQ(RemoveTree(kTop), 5u);
  state().posixDeleteError = 87;
  state().files[kTop + L"\\a-held"].heldWithDeleteSharing = true;
  standin::AddFile(kTop + L"\\b-second");
  EXPECT_EQ(RemoveTree(kTop), 145u);  // ERROR_DIR_NOT_EMPTY: the held file is only delete-pending
  EXPECT_FALSE(standin::Exists(kTop + L"\\b-second"));
  // The refused attempt, then one refusal of each form for the whole tree.
  EXPECT_EQ(standin::Count("(posix"), 3);
  // The next removal asks again. The pending file's open fails with 5 (STATUS_DELETE_PENDING): it
  // is as good as gone, so the rest of the tree still goes and the folder waits with 145.
  standin::AddFile(kTop + L"\\c-later");
  EXPECT_EQ(RemoveTree(kTop), 145u);
  EXPECT_EQ(standin::Count("(posix"), 5);
  EXPECT_FALSE(standin::Exists(kTop + L"\\c-later"));
  // Once the holder lets go, the folder goes; and a top that is itself delete-pending is gone too.
  state().files.erase(kTop + L"\\a-held");
  EXPECT_EQ(RemoveTree(kTop), 0u);
  standin::AddFolder(kTop);
  state().files[kTop].deletePending = true;
  EXPECT_EQ(RemoveTree(kTop), 0u);
}

TEST_F(RemoveTreeTest, ReadOnlyEntriesGoWherePosixDeletionMayIgnoreTheAttribute) {
  const auto addTree = [] {
    standin::AddFolder(kTop);
    standin::AddFile(kTop + L"\\a-plain");
    standin::AddFile(kTop + L"\\b-read-only");
    state().files[kTop + L"\\b-read-only"].readOnly = true;
  };
  // Windows 10 1809 and later: asked with the flag, the read-only file goes as it is.
  addTree();
  EXPECT_EQ(RemoveTree(kTop), 0u);
  EXPECT_FALSE(standin::Exists(kTop));
  EXPECT_EQ(standin::Count("(posix)"), 0);
  // 1607 to 1803 refuse the flag (87; file systems and filters also answer 1 or 50): each entry
  // is asked again without it, and the flag is not asked again in this tree; the read-only file
  // then refuses with 5.
  for (const std::uint32_t refusal : {1u, 50u, 87u}) {
    addTree();
    state().calls.clear();
    state().ignoreReadOnlyError = refusal;
    EXPECT_EQ(RemoveTree(kTop), 5u) << refusal;
    EXPECT_FALSE(standin::Exists(kTop + L"\\a-plain"));
    EXPECT_EQ(standin::Count("MarkForDeletion C:\\Data\\Velmirant\\a-plain (posix, ignore read-only)"), 1);
    EXPECT_EQ(standin::Count("MarkForDeletion C:\\Data\\Velmirant\\a-plain (posix)"), 1) << refusal;
    EXPECT_EQ(standin::Count("MarkForDeletion C:\\Data\\Velmirant\\b-read-only (posix)"), 1);
    EXPECT_EQ(standin::Count("b-read-only (posix, ignore"), 0);
  }
  // Without POSIX deletion (Vista to 1511, FAT, SMB, Wine 8) the classic deletion refuses it too.
  state().posixDeleteError = 87;
  EXPECT_EQ(RemoveTree(kTop), 5u);
  EXPECT_TRUE(standin::Exists(kTop + L"\\b-read-only"));
}

// A program swaps a folder above the vendor folder for a link to elsewhere once the removal holds
// the vendor folder, on a volume that gives no final paths (so no identity check can see it).
// Every entry below is opened relative to its held folder, so the swap reaches nothing.
TEST_F(RemoveTreeTest, EntriesAreOpenedRelativeToTheirHeldFolderSoNoSwappedAncestorRedirectsThem) {
  standin::AddFolder(kTop);
  standin::AddFolder(kTop + L"\\sub");
  standin::AddFile(kTop + L"\\sub\\data.bin");
  standin::AddFolder(L"D:\\Elsewhere");
  standin::AddFolder(L"D:\\Elsewhere\\Velmirant");
  standin::AddFolder(L"D:\\Elsewhere\\Velmirant\\sub");
  standin::AddFile(L"D:\\Elsewhere\\Velmirant\\sub\\data.bin");
  for (auto& [path, node] : state().files) node.finalPathError = 1;
  state().swapAfterListing = kTop;
  state().swapFrom = L"C:\\Data";
  state().swapTo = L"D:\\Elsewhere";
  EXPECT_EQ(RemoveTree(kTop), 0u);
  EXPECT_TRUE(state().swapped);
  EXPECT_FALSE(standin::Exists(kTop));
  EXPECT_TRUE(standin::Exists(L"D:\\Elsewhere\\Velmirant\\sub\\data.bin"));
  EXPECT_EQ(standin::Count("CreateFileW C:\\Data\\Velmirant\\"), 0) << "an entry below was opened by its path";
  EXPECT_EQ(standin::Count("NtCreateFile list C:\\Data\\Velmirant\\sub"), 1);
}

// Records as a directory query returns them (the fields the walk reads, in a layout of its own).
struct TestRecord {
  std::uint32_t NextEntryOffset;
  std::uint32_t FileAttributes;
  std::uint32_t EaSize;
  std::uint32_t FileNameLength;
  wchar_t FileName[8];
};

TEST(Listing, AnswersNoHealthyFileSystemGivesEndTheWalk) {
  TestRecord records[2] = {{sizeof(TestRecord), 0x20, 0, 3 * sizeof(wchar_t), L"one"},
                           {0, 0x410, 0xA0000003, 3 * sizeof(wchar_t), L"two"}};
  std::vector<platform::DirectoryEntry> entries;
  int queries = 0;
  // One batch, then successes that fill nothing, as long as they are asked for.
  auto query = [&](bool restart, std::size_t& filled) -> std::uint32_t {
    filled = ++queries == 1 && restart ? sizeof records : 0;
    return 0;
  };
  EXPECT_EQ(platform::ReadListing<TestRecord>(records, sizeof records, query, entries), 0u);
  EXPECT_EQ(queries, 2);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].name, L"two");
  EXPECT_EQ(entries[1].reparseTag, 0xA0000003u);
  // Records that run past the bytes filled, or point back, are refused, not read.
  records[1].FileNameLength = 64;
  EXPECT_EQ(platform::AppendRecords<TestRecord>(records, sizeof records, entries), platform::kErrorInvalidData);
  records[1].FileNameLength = 3 * sizeof(wchar_t);
  records[0].NextEntryOffset = 2 * sizeof(TestRecord);
  EXPECT_EQ(platform::AppendRecords<TestRecord>(records, sizeof records, entries), platform::kErrorInvalidData);
  records[0].NextEntryOffset = 4;
  EXPECT_EQ(platform::AppendRecords<TestRecord>(records, sizeof records, entries), platform::kErrorInvalidData);
  EXPECT_EQ(platform::AppendRecords<TestRecord>(records, 8, entries), platform::kErrorInvalidData);
  // A driver that answers the same batch again and again: refused at the repeat, not when the
  // memory runs out.
  records[0].NextEntryOffset = sizeof(TestRecord);
  entries.clear();
  queries = 0;
  auto repeating = [&](bool, std::size_t& filled) -> std::uint32_t {
    filled = ++queries <= 5 ? sizeof records : 0;
    return 0;
  };
  EXPECT_EQ(platform::ReadListing<TestRecord>(records, sizeof records, repeating, entries), platform::kErrorInvalidData);
  EXPECT_EQ(queries, 2);
  // One that answers "." and ".." again and again adds nothing after its first batch.
  TestRecord dots[2] = {{sizeof(TestRecord), 0x10, 0, 1 * sizeof(wchar_t), L"."},
                        {0, 0x10, 0, 2 * sizeof(wchar_t), L".."}};
  queries = 0;
  EXPECT_EQ(platform::ReadListing<TestRecord>(dots, sizeof dots, repeating, entries), platform::kErrorInvalidData);
  EXPECT_EQ(queries, 2);
  // One that takes turns between two batches is stopped by the bound on entries.
  entries.clear();
  queries = 0;
  auto alternating = [&](bool, std::size_t& filled) -> std::uint32_t {
    records[0].FileName[0] = ++queries % 2 == 0 ? L'e' : L'o';
    filled = sizeof records;
    return 0;
  };
  EXPECT_EQ(platform::ReadListing<TestRecord>(records, sizeof records, alternating, entries),
            platform::kErrorInvalidData);
  EXPECT_EQ(entries.size(), platform::kMaxListedEntries);
  records[0].FileName[0] = L'o';
  // Records where a driver put them, at any byte: copied out, never read in place (the sanitizer
  // stops a misaligned read).
  alignas(8) unsigned char bytes[1 + sizeof records];
  std::memcpy(bytes + 1, records, sizeof records);
  entries.clear();
  EXPECT_EQ(platform::AppendRecords<TestRecord>(bytes + 1, sizeof records, entries), 0u);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, L"one");
  EXPECT_EQ(entries[1].reparseTag, 0xA0000003u);
}

TEST_F(RemoveTreeTest, OnlyNameSurrogateReparsePointsAreLinks) {
  constexpr std::uint32_t kCloudPlaceholder = 0x9000001A;  // IO_REPARSE_TAG_CLOUD_6, no name surrogate
  constexpr std::uint32_t kJunction = 0xA0000003;          // IO_REPARSE_TAG_MOUNT_POINT
  const std::uint32_t reparseFolder = platform::kAttributeDirectory | platform::kAttributeReparsePoint;
  // The vendor folder itself and a subfolder are placeholders with children: emptied, then deleted.
  AddLink(kTop);
  state().files[kTop].reparseTag = kCloudPlaceholder;
  AddLink(kTop + L"\\placeholder");
  state().files[kTop + L"\\placeholder"].reparseTag = kCloudPlaceholder;
  standin::AddFile(kTop + L"\\placeholder\\data.bin");
  // A junction and a reparse folder with no tag (a Unix link under Wine) are links: never entered.
  AddLink(kTop + L"\\junction");
  state().files[kTop + L"\\junction"].reparseTag = kJunction;
  standin::AddFile(kTop + L"\\junction\\target-file");
  AddLink(kTop + L"\\untagged");
  standin::AddFile(kTop + L"\\untagged\\target-file");
  // A file with a placeholder tag is deleted as one entry.
  standin::AddFile(kTop + L"\\cloud-file");
  state().files[kTop + L"\\cloud-file"].attributes = 0x20 | platform::kAttributeReparsePoint;
  state().files[kTop + L"\\cloud-file"].reparseTag = kCloudPlaceholder;
  // A plain folder that a handle shows as a junction by now is not entered either.
  standin::AddFolder(kTop + L"\\turned");
  state().files[kTop + L"\\turned"].handleAttributes = reparseFolder;
  state().files[kTop + L"\\turned"].reparseTag = kJunction;
  standin::AddFile(kTop + L"\\turned\\target-file");
  EXPECT_EQ(RemoveTree(kTop), 0u);
  EXPECT_FALSE(standin::Exists(kTop + L"\\placeholder"));
  EXPECT_FALSE(standin::Exists(kTop));
  EXPECT_EQ(standin::Count("ListFolder"), 2);  // the top and the placeholder subfolder
  EXPECT_EQ(standin::Count("target-file"), 0) << "something below a link was asked for";
  ExpectNeighboursUntouched();
  // A placeholder whose handle gives no tag counts as a link: never entered, so what it holds
  // keeps it (ERROR_DIR_NOT_EMPTY).
  standin::AddFolder(kTop);
  AddLink(kTop + L"\\placeholder");
  state().files[kTop + L"\\placeholder"].reparseTag = kCloudPlaceholder;
  standin::AddFile(kTop + L"\\placeholder\\data.bin");
  state().tagClassError = 1;
  EXPECT_EQ(RemoveTree(kTop), 145u);
  EXPECT_TRUE(standin::Exists(kTop + L"\\placeholder\\data.bin"));
  EXPECT_EQ(standin::Count("ListFolder"), 3);  // the top twice and the first placeholder
}

TEST_F(RemoveTreeTest, FileSystemsThatAnswerFewerQueriesStillGetEmptied) {
  // FAT and exFAT: no reparse tags at all (87 for the class), and no POSIX deletion.
  state().tagClassError = 87;
  state().posixDeleteError = 87;
  // Each answer that says the listing class is not supported, at both levels: among them 124
  // (ERROR_INVALID_LEVEL) from an RDP-redirected drive or older SMB server, and NTE_BAD_SIGNATURE
  // from a Samba 3.0 share with a client that requires SMB signing.
  for (const std::uint32_t refusal : {1u, 31u, 50u, 87u, 120u, 124u, 1359u, 0x80090006u}) {
    standin::AddFolder(kTop);
    standin::AddFolder(kTop + L"\\sub");
    standin::AddFile(kTop + L"\\sub\\a.dat");
    standin::AddFile(kTop + L"\\b.dat");
    state().files[kTop].listError = refusal;
    state().files[kTop + L"\\sub"].listError = refusal;
    state().calls.clear();
    EXPECT_EQ(RemoveTree(kTop), 0u) << std::hex << refusal;
    EXPECT_FALSE(standin::Exists(kTop));
    EXPECT_EQ(standin::Count("NtQueryDirectoryFile"), 2);
    EXPECT_EQ(standin::Count("FileAttributeTagInfo"), 0);
  }
  // The second listing's own failure is the outcome, and a failure that is no class refusal is
  // never retried another way.
  standin::AddFolder(kTop);
  standin::AddFile(kTop + L"\\c.dat");
  state().files[kTop].listError = 50;
  state().files[kTop].listWithoutIdsError = 53;  // ERROR_BAD_NETPATH
  state().calls.clear();
  EXPECT_EQ(RemoveTree(kTop), 53u);
  state().files[kTop].listError = 1117;
  EXPECT_EQ(RemoveTree(kTop), 1117u);
  EXPECT_EQ(standin::Count("NtQueryDirectoryFile"), 1);
  EXPECT_TRUE(standin::Exists(kTop + L"\\c.dat"));
}

// Calls that reach the system for one removed file and one removed (empty) folder, by profile: a
// change that adds a call to every entry shows here.
TEST_F(RemoveTreeTest, CallsPerRemovedEntryAreFixedForEachPlatform) {
  const auto callsFor = [&](int files, int folders) {
    standin::AddFolder(kTop);
    standin::AddFolder(kTop + L"\\sub");
    for (int i = 0; i < files; ++i) standin::AddFile(kTop + L"\\sub\\file" + std::to_wstring(i));
    for (int i = 0; i < folders; ++i) standin::AddFolder(kTop + L"\\sub\\folder" + std::to_wstring(i));
    state().calls.clear();
    EXPECT_EQ(RemoveTree(kTop), 0u);
    // What the stand-in notes happening is no call.
    return std::count_if(state().calls.begin(), state().calls.end(), [](const std::string& call) {
      return call.rfind("deleted ", 0) != 0 && call.rfind("delete pending ", 0) != 0;
    });
  };
  struct Profile {
    const char* name;
    bool opensMayFollowLinks;
    std::uint32_t nestedRelativeOpenStatus;
    long perFile, perFolder;
  };
  // Windows: open relative to the held folder, delete, close; a folder adds its attributes and its
  // listing. Where the open may follow links (Wine; a tree opened by path), each entry's final path.
  const Profile kProfiles[] = {
      {"Windows, relative opens", false, 0, 3, 5},
      {"a volume that refuses relative opens (by path)", false, 0xC00000BE, 4, 6},
      {"Wine", true, 0, 4, 6},
  };
  for (const Profile& profile : kProfiles) {
    state().opensMayFollowLinks = profile.opensMayFollowLinks;
    state().nestedRelativeOpenStatus = profile.nestedRelativeOpenStatus;
    const long base = callsFor(1, 0);
    EXPECT_EQ(callsFor(2, 0) - base, profile.perFile) << profile.name;
    EXPECT_EQ(callsFor(1, 1) - base, profile.perFolder) << profile.name;
  }
}

// WinFsp volumes refuse an open relative to a handle that was itself opened relatively (53);
// systems before Windows 10 1607 refuse OBJ_DONT_REPARSE (STATUS_INVALID_PARAMETER). Either way
// the tree goes, and the refusal is asked once per tree.
TEST_F(RemoveTreeTest, VolumesThatRefuseRelativeOpensOrTheirFlagAreStillEmptied) {
  const auto addTree = [] {
    standin::AddFolder(kTop);
    standin::AddFolder(kTop + L"\\sub");
    standin::AddFile(kTop + L"\\sub\\a.dat");
    standin::AddFolder(kTop + L"\\sub\\deeper");
    standin::AddFile(kTop + L"\\sub\\deeper\\b.dat");
  };
  for (const std::uint32_t refusal : {0xC00000BEu, platform::kStatusNotSupported, platform::kStatusInvalidDeviceRequest,
                                      platform::kStatusInvalidParameter}) {
    addTree();
    state().calls.clear();
    state().nestedRelativeOpenStatus = refusal;
    EXPECT_EQ(RemoveTree(kTop), 0u) << std::hex << refusal;
    EXPECT_FALSE(standin::Exists(kTop));
    // The refused open (asked again without OBJ_DONT_REPARSE where that may be the cause), then
    // opens by path only.
    const int refused = refusal == platform::kStatusInvalidParameter ? 2 : 1;
    EXPECT_EQ(standin::Count("NtCreateFile C:\\Data\\Velmirant\\sub\\a.dat"), refused);
    EXPECT_EQ(standin::Count("NtCreateFile list C:\\Data\\Velmirant\\sub\\"), 0);
    EXPECT_EQ(standin::Count("CreateFileW C:\\Data\\Velmirant\\sub\\a.dat"), 1);
    EXPECT_EQ(standin::Count("CreateFileW C:\\Data\\Velmirant\\sub\\deeper\\b.dat"), 1);
    EXPECT_EQ(standin::Count("GetFinalPath C:\\Data\\Velmirant\\sub\\deeper\\b.dat"), 1);
  }
  // Opened by path, an entry is checked: one that reaches elsewhere is neither deleted nor entered.
  addTree();
  state().calls.clear();
  state().files[kTop + L"\\sub\\deeper"].finalPath = L"\\\\?\\Z:\\outside";
  EXPECT_EQ(RemoveTree(kTop), kErrorStoppedOnSymlink);
  EXPECT_TRUE(standin::Exists(kTop + L"\\sub\\deeper\\b.dat"));
  EXPECT_EQ(standin::Count("ListFolder C:\\Data\\Velmirant\\sub\\deeper"), 0);
  // OBJ_DONT_REPARSE refused: asked once, then every open goes without it, still relative.
  addTree();
  state().nestedRelativeOpenStatus = 0;
  state().dontReparseStatus = platform::kStatusInvalidParameter;
  state().calls.clear();
  EXPECT_EQ(RemoveTree(kTop), 0u);
  EXPECT_FALSE(standin::Exists(kTop));
  EXPECT_EQ(standin::Count("(dont-reparse)"), 1);
  EXPECT_EQ(standin::Count("NtCreateFile"), 5);
  EXPECT_EQ(standin::Count("CreateFileW C:\\Data\\Velmirant\\"), 0);
  // Any other failure of a relative open is the outcome, as it is.
  addTree();
  state().dontReparseStatus = 0;
  state().files[kTop + L"\\sub\\a.dat"].openError = 32;
  EXPECT_EQ(RemoveTree(kTop), 32u);
  EXPECT_EQ(standin::Count("CreateFileW C:\\Data\\Velmirant\\sub\\a.dat"), 0);
}

TEST(Paths, JoinPutsOneSeparatorBetween) {
  EXPECT_EQ(JoinPath(L"C:\\Users\\a", L"Velmirant"), L"C:\\Users\\a\\Velmirant");
  EXPECT_EQ(JoinPath(L"D:\\", L"Velmirant"), L"D:\\Velmirant");
  EXPECT_EQ(JoinPath(L"C:/data/", L"Velmirant"), L"C:/data/Velmirant");
}

TEST(Paths, GenericFormUsesForwardSlashesThroughout) {
  EXPECT_EQ(GenericPath(L"C:\\Program Files (x86)\\Velmirant"), L"C:/Program Files (x86)/Velmirant");
  EXPECT_EQ(GenericPath(L"\\\\server\\share\\x"), L"//server/share/x");
}

TEST(Paths, ExtendedLengthFormLiftsThePathLimit) {
  EXPECT_EQ(ExtendedLengthPath(L"C:\\Users\\a"), L"\\\\?\\C:\\Users\\a");
  EXPECT_EQ(ExtendedLengthPath(L"C:/Users/a"), L"\\\\?\\C:\\Users\\a");
  EXPECT_EQ(ExtendedLengthPath(L"\\\\server\\share\\a"), L"\\\\?\\UNC\\server\\share\\a");
  EXPECT_EQ(ExtendedLengthPath(L"\\\\?\\C:\\a"), L"\\\\?\\C:\\a");
  EXPECT_EQ(ExtendedLengthPath(L"\\\\.\\pipe\\x"), L"\\\\.\\pipe\\x");
  EXPECT_EQ(ExtendedLengthPath(L"relative\\a"), L"relative\\a");
  for (const wchar_t* absolute : {L"C:\\Users", L"c:/Users", L"\\\\server\\share", L"\\\\?\\C:\\Users"}) {
    EXPECT_TRUE(IsAbsolutePath(absolute)) << standin::Narrow(absolute);
  }
  for (const wchar_t* relative : {L"", L"Users", L"C:", L"C:Users", L"\\Users", L"\\\\", L"1:\\Users"}) {
    EXPECT_FALSE(IsAbsolutePath(relative)) << standin::Narrow(relative);
  }
}

}  // namespace
