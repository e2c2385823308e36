// The benchmark's minimal removal: what deleting a tree costs with no checks at all. One listing
// per folder, DeleteFileW for files, RemoveDirectoryW for folders, by path. Usage: PROGRAM FOLDER
#include <windows.h>

#include <string>

namespace {

void RemoveFolder(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  const HANDLE listing = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (listing != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = folder + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveFolder(path);
      } else {
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(listing, &found));
    FindClose(listing);
  }
  RemoveDirectoryW(folder.c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  RemoveFolder(std::wstring(L"\\\\?\\") + argv[1]);
  return 0;
}
