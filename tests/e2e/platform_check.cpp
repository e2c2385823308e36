// Runs the platform layer's calls that no end-to-end case of the tool reaches under Wine: the
// listing of last resort (compared with the usual one, on the same held folder), the attributes of
// a link given by its path, the NT status behind a failed open, opens relative to a held folder
// with OBJ_DONT_REPARSE, and the DLL preloading of systems without SetDefaultDllDirectories.
// Prints what differs; exit code 0 when nothing does.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

int gProblems = 0;

void Problem(const char* what, const std::wstring& name) {
  std::printf("%s: %ls\n", what, name.c_str());
  ++gProblems;
}

std::vector<platform::DirectoryEntry> Sorted(std::vector<platform::DirectoryEntry> entries) {
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  return entries;
}

// platform_check dlls [control|restrict] NAME...: the named DLLs are loaded by name, as shell32 and
// ole32 load theirs, after the preloading ("control": without it; "restrict": after the tool's
// RestrictDllSearch instead). Prints where each came from. A name the system folder holds must have
// been preloaded from there; one it lacks is printed as absent and not loaded (nothing could be
// preloaded for it).
int CheckDlls(int count, wchar_t** names) {
  const bool control = count > 0 && lstrcmpW(names[0], L"control") == 0;
  const bool restrict = count > 0 && lstrcmpW(names[0], L"restrict") == 0;
  if (control || restrict) {
    ++names;
    --count;
  }
  if (restrict) platform::RestrictDllSearch();
  if (!control && !restrict) platform::PreloadSystemDlls();
  wchar_t system[MAX_PATH];
  const UINT systemLength = GetSystemDirectoryW(system, MAX_PATH);
  if (systemLength == 0 || systemLength >= MAX_PATH) return Problem("no system folder", L""), 1;
  for (int i = 0; i < count; ++i) {
    const std::wstring inSystem = std::wstring(system, systemLength) + L'\\' + names[i];
    if (GetFileAttributesW(inSystem.c_str()) == INVALID_FILE_ATTRIBUTES) {
      std::printf("%ls absent\n", names[i]);
      continue;
    }
    if (!control && !restrict && GetModuleHandleW(names[i]) == nullptr) Problem("not preloaded", names[i]);
    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(LoadLibraryW(names[i]), path, MAX_PATH);
    const bool fromSystem = CompareStringOrdinal(path, -1, inSystem.c_str(), -1, TRUE) == CSTR_EQUAL;
    std::printf("%ls %ls\n", names[i], fromSystem ? L"system" : path);
    if (!fromSystem && !control) Problem("loaded from outside the system folder", names[i]);
  }
  return gProblems == 0 ? 0 : 1;
}

}  // namespace

// platform_check FOLDER LINK: FOLDER holds a few entries, among them file.txt and the folder sub;
// LINK is a link to a folder.
int wmain(int argc, wchar_t** argv) {
  if (argc >= 2 && lstrcmpW(argv[1], L"dlls") == 0) return CheckDlls(argc - 2, argv + 2);
  if (argc != 3) return 2;
  const std::wstring folderPath = argv[1];
  std::uint32_t error = 0;
  platform::FileHandle folder(platform::OpenForRemoval(folderPath, true, error));
  if (!folder.Valid()) return Problem("open", folderPath), 1;
  std::vector<platform::DirectoryEntry> usual, lastResort;
  if ((error = platform::ListFolder(folder.Get(), usual)) != 0) Problem("ListFolder failed", folderPath);
  if ((error = platform::ListFolderWithoutIds(folder.Get(), lastResort)) != 0) Problem("ListFolderWithoutIds failed", folderPath);
  usual = Sorted(usual);
  lastResort = Sorted(lastResort);
  if (usual.size() != lastResort.size() || usual.size() < 3) Problem("listings differ in size", folderPath);
  for (std::size_t i = 0; i < std::min(usual.size(), lastResort.size()); ++i) {
    const auto& a = usual[i];
    const auto& b = lastResort[i];
    if (a.name != b.name || a.attributes != b.attributes || a.reparseTag != b.reparseTag) Problem("entry differs", a.name);
    std::printf("%ls %#x %#x\n", b.name.c_str(), b.attributes, b.reparseTag);
  }

  // Only a link's attributes by its path are checked, not its tag: Wine gives every reparse point
  // the tag 0, and makes none with another (FSCTL_SET_REPARSE_POINT answers 50).
  std::uint32_t attributes = 0, tag = 0;
  if (platform::GetPathAttributes(argv[2], attributes, tag) != 0) Problem("GetPathAttributes failed", argv[2]);
  std::printf("link %#x %#x\n", attributes, tag);
  if ((attributes & platform::kAttributeReparsePoint) == 0) Problem("link attributes", argv[2]);

  // The NT status of a failed open is the thread's, read right after it. (Wine opens a file whose
  // deletion is pending as any other, so the status that matters there is only seen on Windows.)
  const std::wstring missing = folderPath + L"\\missing";
  platform::FileHandle none(platform::OpenForRemoval(missing, false, error));
  const std::uint32_t status = platform::LastNtStatus();
  std::printf("missing %u %#x\n", error, status);
  if (none.Valid() || error != platform::kErrorFileNotFound || status != 0xC0000034) {  // STATUS_OBJECT_NAME_NOT_FOUND
    Problem("NT status of a failed open", missing);
  }

  // What keeps the removal's per-entry check on under Wine.
  if (!platform::OpensMayFollowLinks(folder.Get())) Problem("Wine not told from Windows", folderPath);

  // Opens relative to the held folder, with OBJ_DONT_REPARSE: a file, a folder to list, and a name
  // that is not there.
  std::uint32_t childStatus = 0;
  platform::FileHandle file(platform::OpenChildForRemoval(folder.Get(), L"file.txt", false, true, childStatus));
  std::printf("relative file.txt %#x\n", childStatus);
  if (!file.Valid()) Problem("relative open of a file", L"file.txt");
  platform::FileHandle sub(platform::OpenChildForRemoval(folder.Get(), L"sub", true, true, childStatus));
  std::vector<platform::DirectoryEntry> subEntries;
  if (!sub.Valid() || platform::ListFolder(sub.Get(), subEntries) != 0) Problem("relative open of a folder to list", L"sub");
  std::wstring finalPath;
  if (sub.Valid() && (platform::GetFinalPath(sub.Get(), finalPath) != 0 || finalPath.size() < 4 ||
                      finalPath.compare(finalPath.size() - 4, 4, L"\\sub") != 0)) {
    Problem("final path of a relative open", finalPath);
  }
  platform::FileHandle absent(platform::OpenChildForRemoval(folder.Get(), L"missing", false, true, childStatus));
  std::printf("relative missing %#x %u\n", childStatus, platform::ErrorFromNtStatus(childStatus));
  if (absent.Valid() || childStatus != platform::kStatusObjectNameNotFound ||
      platform::ErrorFromNtStatus(childStatus) != platform::kErrorFileNotFound) {
    Problem("NT status of a failed relative open", L"missing");
  }
  return gProblems == 0 ? 0 : 1;
}
