// Runs the platform layer's file calls that no end-to-end case of the tool reaches under Wine:
// the listing of last resort (compared with the usual one, on the same held folder), the tag of
// a reparse point given by its path, and the NT status behind a failed open.
// Prints what differs; exit code 0 when nothing does.
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

}  // namespace

// platform_check FOLDER LINK: FOLDER holds a few entries, LINK is a link to a folder.
int wmain(int argc, wchar_t** argv) {
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

  std::uint32_t attributes = 0, tag = 0xFFFFFFFF;
  if (platform::GetPathAttributes(argv[2], attributes, tag) != 0) Problem("GetPathAttributes failed", argv[2]);
  std::printf("link %#x %#x\n", attributes, tag);
  if ((attributes & platform::kAttributeReparsePoint) == 0 || tag == 0xFFFFFFFF) Problem("link attributes", argv[2]);

  // The NT status of a failed open is the thread's, read right after it. (Wine opens a file whose
  // deletion is pending as any other, so the status that matters there is only seen on Windows.)
  const std::wstring missing = folderPath + L"\\missing";
  platform::FileHandle none(platform::OpenForRemoval(missing, false, error));
  const std::uint32_t status = platform::LastNtStatus();
  std::printf("missing %u %#x\n", error, status);
  if (none.Valid() || error != platform::kErrorFileNotFound || status != 0xC0000034) {  // STATUS_OBJECT_NAME_NOT_FOUND
    Problem("NT status of a failed open", missing);
  }
  return gProblems == 0 ? 0 : 1;
}
