// Files: what is there, whole-file reads and writes, and the result folder, which the kit opens and
// writes to without ever following a link.
#include "selfcheck.h"
#include "platform/win32_module.h"

Presence PathPresence(const std::wstring& path) {
  if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return Presence::kThere;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Presence::kGone : Presence::kUnknown;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool WriteWholeFile(const std::wstring& path, const std::string& bytes, DWORD disposition) {
  FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file.Valid() && WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size() && FlushFileBuffers(file.Get());
}

bool ReadHandle(HANDLE file, std::string& bytes) {
  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
  bytes.clear();
  char buffer[4096];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &read, nullptr)) return false;
    if (read == 0) return true;
    bytes.append(buffer, read);
  }
}

namespace {

// Whether the open file is the image this process runs. Windows lets anyone rename a running
// image, so a user who may write beside the kit could have put another file under its name.
bool IsRunningImage(HANDLE file) {
  using GetMappedFileName = DWORD(WINAPI*)(HANDLE, LPVOID, LPWSTR, DWORD);
  auto mappedName = platform::FindFunction<GetMappedFileName>(GetModuleHandleW(L"kernel32.dll"), "K32GetMappedFileNameW");
  if (mappedName == nullptr) {  // Vista has it in psapi only
    mappedName = platform::FindFunction<GetMappedFileName>(platform::LoadSystemModule(L"psapi.dll"), "GetMappedFileNameW");
  }
  constexpr DWORD kSize = 32768;
  std::wstring mapped(kSize, L'\0'), held(kSize, L'\0');
  const DWORD mappedLength = mappedName != nullptr ? mappedName(GetCurrentProcess(), GetModuleHandleW(nullptr), &mapped[0], kSize) : 0;
  if (mappedLength == 0 || mappedLength >= kSize) return false;
  mapped.resize(mappedLength);
  // Windows names the mapped file by its volume device (\Device\HarddiskVolume3\...); Wine by its
  // DOS path behind \??\ (\??\C:\...). The held file's final path is asked in the same form.
  const bool dosForm = mapped.compare(0, 4, L"\\??\\") == 0;
  const DWORD heldLength = GetFinalPathNameByHandleW(file, &held[0], kSize,
                                                     FILE_NAME_NORMALIZED | (dosForm ? VOLUME_NAME_DOS : VOLUME_NAME_NT));
  if (heldLength == 0 || heldLength >= kSize) return false;
  held.resize(heldLength);
  if (dosForm) {
    mapped.erase(0, 4);
    if (held.compare(0, 4, L"\\\\?\\") == 0) held.erase(0, 4);
  }
  return platform::SamePath(mapped, held);
}

}  // namespace

bool ReadImages(Kit& kit, std::wstring& why) {
  kit.selfFile = FileHandle(CreateFileW(kit.self.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  kit.toolFile = FileHandle(CreateFileW(kit.tool.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!kit.selfFile.Valid() || !kit.toolFile.Valid()) {
    why = Failed(L"opening this program and velmirant-cleanup.exe beside it");
  } else if (!IsRunningImage(kit.selfFile.Get())) {
    why = kit.self + L" is not the program that runs: it was renamed, and another file put in its place";
  } else if (!ReadHandle(kit.selfFile.Get(), kit.selfImage) || !ReadHandle(kit.toolFile.Get(), kit.toolImage)) {
    why = Failed(L"reading this program and velmirant-cleanup.exe beside it");
  } else {
    return true;
  }
  return false;
}

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
  FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr));
  return file.Valid() && ReadHandle(file.Get(), bytes);
}

namespace {

// The result folder and the folders above it that are missing.
bool MakeFolders(const std::wstring& path) {
  if (CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) return true;
  const std::size_t slash = path.find_last_of(L'\\');
  if (GetLastError() != ERROR_PATH_NOT_FOUND || slash == std::wstring::npos || slash < 3) return false;
  return MakeFolders(path.substr(0, slash)) && CreateDirectoryW(path.c_str(), nullptr);
}

// A final path ("\\?\C:\...", "\\?\UNC\server\share\...") in the form the kit's paths have.
std::wstring PlainPath(const std::wstring& finalPath) {
  if (finalPath.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\\\" + finalPath.substr(8);
  if (finalPath.compare(0, 4, L"\\\\?\\") == 0) return finalPath.substr(4);
  return finalPath;
}

// Whether the open handle is the entry `path` names itself, not a link or what a link reaches.
bool IsEntryItself(HANDLE handle, const std::wstring& path, bool folder, std::wstring& why) {
  BY_HANDLE_FILE_INFORMATION info = {};
  std::wstring finalPath;
  if (!GetFileInformationByHandle(handle, &info)) {
    why = Failed(L"GetFileInformationByHandle");
  } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    why = L"it is a link (a junction or a symbolic link)";
  } else if (((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != folder) {
    why = folder ? L"it is not a folder" : L"it is not a file";
  } else if (const std::uint32_t error = platform::GetFinalPath(handle, finalPath)) {
    why = L"where it leads cannot be told (" + Code(error) + L")";
  } else if (!platform::SamePath(PlainPath(finalPath), path)) {
    why = L"it is reached through a link: it leads to " + PlainPath(finalPath);
  } else {
    return true;
  }
  return false;
}

}  // namespace

bool RemoveResultFile(const std::wstring& path, std::wstring& why) {
  FileHandle old(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!old.Valid()) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return true;
    why = Failed(L"opening it");
    return false;
  }
  if (!IsEntryItself(old.Get(), path, false, why)) return false;
  // Where another program holds it with delete sharing, only POSIX deletion frees its name at once.
  std::uint32_t error = platform::MarkForPosixDeletion(old.Get(), false);
  if (error == 1 || error == 50 || error == 87) error = platform::MarkForDeletion(old.Get());
  if (error != 0) {
    why = L"it cannot be replaced (" + Code(error) + L")";
    return false;
  }
  return true;
}

bool OpenResults(Kit& kit, std::wstring& why) {
  if (!MakeFolders(kit.results)) {
    why = L"it cannot be created (" + Code(GetLastError()) + L")";
    return false;
  }
  // Final paths give each name in full, never in its short (8.3) form.
  std::wstring path(32768, L'\0');
  const DWORD length = GetLongPathNameW(kit.results.c_str(), &path[0], static_cast<DWORD>(path.size()));
  path = length > 0 && length < path.size() ? path.substr(0, length) : kit.results;
  // Held without delete sharing: while the kit writes there, nobody can rename it or put a link in its place.
  FileHandle folder(CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (!folder.Valid()) {
    why = Failed(L"opening it");
    return false;
  }
  // Wine lists a Unix link as a reparse point, yet opens what it leads to.
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    why = L"it is a link (a junction or a symbolic link)";
    return false;
  }
  if (!IsEntryItself(folder.Get(), path, true, why)) return false;
  kit.results = path;
  kit.resultsFolder = std::move(folder);
  return true;
}

bool CreateResultFile(Kit& kit, const std::wstring& name, FileHandle& file, std::wstring& why) {
  const std::wstring path = kit.results + L"\\" + name;
  if (!RemoveResultFile(path, why)) {
    why = path + L": " + why;
    return false;
  }
  // CREATE_NEW never opens what is there: a link put in place meanwhile makes it fail.
  FileHandle made(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!made.Valid()) {
    why = path + L": " + Failed(L"creating it");
    return false;
  }
  if (!IsEntryItself(made.Get(), path, false, why)) {
    platform::MarkForDeletion(made.Get());
    why = path + L": " + why;
    return false;
  }
  file = std::move(made);
  return true;
}
