// The platform layer over the real Windows services: kernel32 and advapi32, imported; shell32 and
// ole32, loaded from the system folder at run time.
#include <windows.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <cstddef>
#include <cstdio>
#include <string_view>
#include <vector>

#include "platform/listing.h"
#include "platform/paths.h"
#include "platform/platform.h"

#if !defined(_WIN64)
// The process walk hands this record to the system with its size; a 32-bit system expects 556.
static_assert(sizeof(PROCESSENTRY32W) == 556, "PROCESSENTRY32W must be 556 bytes in the 32-bit build");
#endif

namespace platform {

namespace {

// FOLDERID_RoamingAppData and FOLDERID_ProgramFilesX86, spelled out so no GUID library is linked.
constexpr GUID kFolderIdRoamingAppData = {
    0x3EB685DB, 0x65F9, 0x4CF6, {0xA0, 0x3A, 0xE3, 0xEF, 0x65, 0x72, 0x9F, 0x3D}};
constexpr GUID kFolderIdProgramFilesX86 = {
    0x7C5A40EF, 0xA0FB, 0x4BFC, {0x87, 0x4A, 0xC0, 0xF2, 0xE0, 0xB9, 0xFA, 0x8E}};

bool ReadProcessRecord(BOOL found, const PROCESSENTRY32W& entry, ProcessRecord& record) {
  if (!found) return false;
  record.exeFile = entry.szExeFile;
  record.processId = entry.th32ProcessID;
  return true;
}

HKEY RootKey(RegistryRoot root) {
  return root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

// GetProcAddress's result as the function it is; the detour through void (*)() is the cast the
// compiler accepts between unrelated function types.
template <typename Function>
Function FindFunction(HMODULE module, const char* name) {
  const FARPROC found = module != nullptr ? GetProcAddress(module, name) : nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

// A function of ntdll, which is in every process already; null where this system lacks it.
template <typename Function>
Function NtdllFunction(const char* name) {
  return FindFunction<Function>(GetModuleHandleW(L"ntdll.dll"), name);
}

// Wine names a file object by its DOS path behind \??\ (the final path is the same behind \\?\),
// and its GetFinalPathNameByHandleW derives the final path from that name through the mount
// manager, at several times the cost of the name itself, and fails past MAX_PATH. Windows names a
// file object by its volume device (\Device\HarddiskVolume3\...) instead. So the object name
// serves directly while it has the DOS form; once it has not, it is not asked again.
bool gObjectNameIsDosPath = true;

std::uint32_t FinalPathFromObjectName(HANDLE file, std::wstring& path) {
  using QueryObject = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  constexpr int kObjectNameInformation = 1;
  const auto queryObject = NtdllFunction<QueryObject>("NtQueryObject");
  if (queryObject == nullptr) return ERROR_MORE_DATA;
  struct NameHeader {
    USHORT length;
    USHORT maximumLength;
    const wchar_t* buffer;
  };
  // Room for a usual path first; a longer one says what it needs, and gets one more try.
  std::vector<NameHeader> buffer(1 + (MAX_PATH * 2 * sizeof(wchar_t)) / sizeof(NameHeader));
  ULONG used = 0;
  const auto query = [&] {
    const auto size = static_cast<ULONG>(buffer.size() * sizeof(NameHeader));
    return queryObject(file, kObjectNameInformation, buffer.data(), size, &used);
  };
  LONG status = query();
  if (status < 0 && used > buffer.size() * sizeof(NameHeader) && used <= 70 * 1024) {
    buffer.resize(1 + used / sizeof(NameHeader));
    status = query();
  }
  if (status < 0) return ERROR_MORE_DATA;
  const std::wstring_view name(buffer[0].buffer, buffer[0].length / sizeof(wchar_t));
  constexpr std::wstring_view kDosDevices = L"\\??\\";
  if (name.substr(0, kDosDevices.size()) != kDosDevices) return ERROR_MORE_DATA;
  path.assign(L"\\\\?\\");
  path.append(name.substr(kDosDevices.size()));
  return 0;
}

// IO_STATUS_BLOCK, for the ntdll calls.
struct IoStatusBlock {
  union {
    LONG status;
    void* pointer;
  };
  ULONG_PTR information;
};

// What an open for removal asks, by path or relative to a held folder: delete access always; a
// folder to be listed is held without sharing delete access, so it cannot be renamed or swapped.
DWORD RemovalAccess(bool forListing) {
  return DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE | (forListing ? FILE_LIST_DIRECTORY : 0);
}
DWORD RemovalSharing(bool forListing) {
  return FILE_SHARE_READ | FILE_SHARE_WRITE | (forListing ? 0 : FILE_SHARE_DELETE);
}

// 64 KiB a query: shares up to Windows 8.1 refuse larger buffers with 87.
constexpr DWORD kListingBufferSize = 64 * 1024;

// FILE_BOTH_DIR_INFORMATION: what FindFirstFileW asks every file system for, so the listing of
// last resort. Like FILE_ID_BOTH_DIR_INFO without the file id.
struct FileBothDirInformation {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  LARGE_INTEGER CreationTime, LastAccessTime, LastWriteTime, ChangeTime, EndOfFile, AllocationSize;
  ULONG FileAttributes;
  ULONG FileNameLength;
  ULONG EaSize;
  CCHAR ShortNameLength;
  WCHAR ShortName[12];
  WCHAR FileName[1];
};
static_assert(offsetof(FileBothDirInformation, FileName) == 94, "FILE_BOTH_DIR_INFORMATION layout");

// A FindFirstFileExW search, closed with FindClose (not CloseHandle) when it goes out of scope.
struct FindHandle {
  explicit FindHandle(HANDLE h) : handle(h) {}
  ~FindHandle() {
    if (handle != INVALID_HANDLE_VALUE) FindClose(handle);
  }
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  const HANDLE handle;
};

// Whether SetDefaultDllDirectories took effect: Vista, and 7 without update KB2533623, lack it.
bool gSystemSearchOnly = false;

// Where SetDefaultDllDirectories is missing, a DLL that shell32 or ole32 (or advapi32) load by name
// later is still looked for in the tool's folder first, unless it is a Known DLL or loaded already.
// These are loaded from the system folder by full path first, so that a later load by name finds
// them in the process: the list 7-Zip's console programs load for the same reason.
constexpr const wchar_t* kPreloadedSystemDlls[] = {
    L"userenv.dll", L"setupapi.dll", L"apphelp.dll", L"propsys.dll", L"dwmapi.dll",
    L"cryptbase.dll", L"oleacc.dll", L"clbcatq.dll", L"version.dll",
};

// A module from the system folder, with its dependencies from there too.
HMODULE LoadSystemModule(const wchar_t* name) {
  if (gSystemSearchOnly) return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  wchar_t path[MAX_PATH];
  const UINT folderLength = GetSystemDirectoryW(path, MAX_PATH);
  const std::size_t nameLength = lstrlenW(name);
  if (folderLength == 0 || folderLength + 1 + nameLength >= MAX_PATH) return nullptr;
  path[folderLength] = L'\\';
  lstrcpyW(path + folderLength + 1, name);
  // With a full path, this flag makes the module's own dependencies come from its folder first.
  return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

struct ShellFunctions {
  decltype(&::SHGetKnownFolderPath) getKnownFolderPath = nullptr;
  decltype(&::CoTaskMemFree) taskMemFree = nullptr;
  DWORD error = 0;  // why they could not be had
};

// Loaded on first use and kept for the rest of the run.
const ShellFunctions& Shell() {
  static ShellFunctions functions;
  static bool loaded = false;
  if (!loaded) {
    loaded = true;
    functions.getKnownFolderPath =
        FindFunction<decltype(&::SHGetKnownFolderPath)>(LoadSystemModule(L"shell32.dll"), "SHGetKnownFolderPath");
    if (functions.getKnownFolderPath == nullptr) functions.error = GetLastError();
    functions.taskMemFree = FindFunction<decltype(&::CoTaskMemFree)>(LoadSystemModule(L"ole32.dll"), "CoTaskMemFree");
    if (functions.taskMemFree == nullptr && functions.error == 0) functions.error = GetLastError();
  }
  return functions;
}

}  // namespace

void RestrictDllSearch() {
  const auto setDefaultDllDirectories = FindFunction<BOOL(WINAPI*)(DWORD)>(GetModuleHandleW(L"kernel32.dll"),
                                                                           "SetDefaultDllDirectories");
  gSystemSearchOnly = setDefaultDllDirectories != nullptr && setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (gSystemSearchOnly) return;
  // Without it, at least the current folder leaves the search; modules are loaded by full path,
  // and so are the dependencies loaded by name later (one missing on this system is no matter).
  SetDllDirectoryW(L"");
  PreloadSystemDlls();
}

void PreloadSystemDlls() {
  for (const wchar_t* name : kPreloadedSystemDlls) LoadSystemModule(name);
}

void CloseHandle(Handle handle) { ::CloseHandle(handle); }

void WriteOutput(std::string_view bytes) {
  if (bytes.empty()) return;
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  // Every write reaches the stream at once: when the tool ends itself (its own name is a
  // target), the name and ":" it wrote last are not lost in a buffer.
  std::fflush(stdout);
}

void FlushOutput() { std::fflush(stdout); }

std::string ToAnsiCodePage(std::wstring_view text) {
  if (text.empty()) return {};
  // With UTF-8 as the ANSI code page every character fits, and the call refuses both the
  // no-best-fit flag and a default character.
  const bool utf8 = GetACP() == CP_UTF8;
  const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const char* defaultChar = utf8 ? nullptr : "?";
  const int length = static_cast<int>(text.size());
  const int size = WideCharToMultiByte(CP_ACP, flags, text.data(), length, nullptr, 0, defaultChar, nullptr);
  if (size <= 0) return std::string(text.size(), '?');
  std::string converted(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, flags, text.data(), length, &converted[0], size, defaultChar, nullptr);
  return converted;
}

Handle CreateProcessSnapshot() { return CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0); }

bool FirstProcess(Handle snapshot, ProcessRecord& record) {
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  return ReadProcessRecord(Process32FirstW(snapshot, &entry), entry, record);
}

bool NextProcess(Handle snapshot, ProcessRecord& record) {
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  return ReadProcessRecord(Process32NextW(snapshot, &entry), entry, record);
}

Handle OpenProcess(std::uint32_t access, std::uint32_t processId) {
  return ::OpenProcess(access, FALSE, processId);
}

bool QueryProcessImagePath(Handle process, std::wstring& imagePath) {
  wchar_t buffer[MAX_PATH * 4];
  DWORD size = sizeof buffer / sizeof buffer[0];
  if (!QueryFullProcessImageNameW(process, 0, buffer, &size)) return false;
  imagePath.assign(buffer, size);
  return true;
}

bool TerminateProcess(Handle process, std::uint32_t exitCode) {
  return ::TerminateProcess(process, exitCode) != FALSE;
}

void FreeKnownFolderPath(wchar_t* path) {
  // No path is ever handed out without the function that frees it.
  if (path != nullptr) Shell().taskMemFree(path);
}

std::int32_t GetKnownFolderPath(KnownFolder folder, KnownFolderPath& path) {
  const ShellFunctions& shell = Shell();
  if (shell.getKnownFolderPath == nullptr || shell.taskMemFree == nullptr) {
    return static_cast<std::int32_t>(HRESULT_FROM_WIN32(shell.error != 0 ? shell.error : ERROR_PROC_NOT_FOUND));
  }
  const GUID& id = folder == KnownFolder::RoamingAppData ? kFolderIdRoamingAppData : kFolderIdProgramFilesX86;
  return shell.getKnownFolderPath(id, 0, nullptr, path.Receive());
}

void Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

std::uint32_t GetPathAttributes(const std::wstring& path, std::uint32_t& attributes, std::uint32_t& reparseTag) {
  const std::wstring extended = ExtendedLengthPath(path);
  const DWORD found = GetFileAttributesW(extended.c_str());
  if (found == INVALID_FILE_ATTRIBUTES) return GetLastError();
  attributes = found;
  reparseTag = 0;
  if ((found & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // A path with no wildcard finds the entry itself; its record carries the tag.
    WIN32_FIND_DATAW data;
    const FindHandle find(FindFirstFileExW(extended.c_str(), FindExInfoStandard, &data, FindExSearchNameMatch,
                                           nullptr, 0));
    if (find.handle != INVALID_HANDLE_VALUE && (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      reparseTag = data.dwReserved0;
    }
  }
  return 0;
}

std::uint32_t LastNtStatus() {
  using GetLastNtStatus = LONG(NTAPI*)();
  const auto getLastNtStatus = NtdllFunction<GetLastNtStatus>("RtlGetLastNtStatus");
  return getLastNtStatus != nullptr ? static_cast<std::uint32_t>(getLastNtStatus()) : 0;
}

Handle OpenForRemoval(const std::wstring& path, bool forListing, std::uint32_t& error) {
  const HANDLE file = CreateFileW(ExtendedLengthPath(path).c_str(), RemovalAccess(forListing),
                                  RemovalSharing(forListing), nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  error = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  return file;
}

Handle OpenForQuery(const std::wstring& path) {
  return CreateFileW(ExtendedLengthPath(path).c_str(), FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

std::uint32_t GetFinalPath(Handle file, std::wstring& path) {
  if (gObjectNameIsDosPath) {
    if (FinalPathFromObjectName(file, path) == 0) return 0;
    gObjectNameIsDosPath = false;
  }
  constexpr DWORD kFlags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  // The path can grow between two calls (a rename), but not without end: a driver that keeps
  // asking for more gets a few tries.
  constexpr int kTries = 4;
  path.resize(MAX_PATH);
  for (int tries = 0; tries < kTries; ++tries) {
    const DWORD length = GetFinalPathNameByHandleW(file, &path[0], static_cast<DWORD>(path.size()), kFlags);
    if (length == 0) {
      const DWORD error = GetLastError();
      return error == ERROR_MORE_DATA ? FinalPathFromObjectName(file, path) : error;
    }
    if (length < path.size()) {
      path.resize(length);
      return 0;
    }
    // Too small: length is the size needed, terminator included.
    path.resize(length);
  }
  return ERROR_INSUFFICIENT_BUFFER;
}

bool SamePath(std::wstring_view a, std::wstring_view b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

std::uint32_t GetHandleAttributes(Handle file, std::uint32_t& attributes) {
  FILE_BASIC_INFO info = {};
  if (!GetFileInformationByHandleEx(file, FileBasicInfo, &info, sizeof info)) return GetLastError();
  attributes = info.FileAttributes;
  return 0;
}

std::uint32_t GetHandleReparseTag(Handle file, std::uint32_t& reparseTag) {
  FILE_ATTRIBUTE_TAG_INFO info = {};
  if (!GetFileInformationByHandleEx(file, FileAttributeTagInfo, &info, sizeof info)) return GetLastError();
  reparseTag = info.ReparseTag;
  return 0;
}

std::uint32_t ListFolder(Handle folder, std::vector<DirectoryEntry>& entries) {
  std::vector<ULONGLONG> buffer(kListingBufferSize / sizeof(ULONGLONG));
  auto* first = reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(buffer.data());
  const auto query = [&](bool restart, std::size_t& filled) -> std::uint32_t {
    // This call tells no byte count: a first record still without a name after a success means
    // the file system wrote nothing.
    first->FileNameLength = 0;
    const FILE_INFO_BY_HANDLE_CLASS infoClass = restart ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo;
    if (GetFileInformationByHandleEx(folder, infoClass, buffer.data(), kListingBufferSize)) {
      filled = first->FileNameLength != 0 ? kListingBufferSize : 0;
      return 0;
    }
    const DWORD error = GetLastError();
    // A file system that lists no "." and ".." answers the first query of an empty folder
    // with "not found" instead of "no more files".
    return error == ERROR_NO_MORE_FILES || (error == ERROR_FILE_NOT_FOUND && restart) ? kListingEnd : error;
  };
  return ReadListing<FILE_ID_BOTH_DIR_INFO>(buffer.data(), kListingBufferSize, query, entries);
}

std::uint32_t ListFolderWithoutIds(Handle folder, std::vector<DirectoryEntry>& entries) {
  using QueryDirectoryFile = LONG(NTAPI*)(HANDLE, HANDLE, void*, void*, IoStatusBlock*, void*, ULONG, int, BOOLEAN,
                                          void*, BOOLEAN);
  const auto queryDirectoryFile = NtdllFunction<QueryDirectoryFile>("NtQueryDirectoryFile");
  if (queryDirectoryFile == nullptr) return ERROR_PROC_NOT_FOUND;
  constexpr int kFileBothDirectoryInformation = 3;
  constexpr LONG kStatusNoMoreFiles = static_cast<LONG>(0x80000006);
  constexpr LONG kStatusNoSuchFile = static_cast<LONG>(0xC000000F);
  std::vector<ULONGLONG> buffer(kListingBufferSize / sizeof(ULONGLONG));
  const auto query = [&](bool restart, std::size_t& filled) -> std::uint32_t {
    IoStatusBlock io = {};
    const LONG status = queryDirectoryFile(folder, nullptr, nullptr, nullptr, &io, buffer.data(), kListingBufferSize,
                                           kFileBothDirectoryInformation, FALSE, nullptr, restart);
    // An empty folder on a file system that lists no "." and "..": "no such file" at once.
    if (status == kStatusNoMoreFiles || (status == kStatusNoSuchFile && restart)) return kListingEnd;
    if (status < 0) return ErrorFromNtStatus(static_cast<std::uint32_t>(status));
    filled = io.information;
    return 0;
  };
  return ReadListing<FileBothDirInformation>(buffer.data(), kListingBufferSize, query, entries);
}

Handle OpenChildForRemoval(Handle folder, std::wstring_view name, bool forListing, std::uint32_t& status) {
  struct UnicodeString {
    USHORT length;
    USHORT maximumLength;
    const wchar_t* buffer;
  };
  struct ObjectAttributes {
    ULONG length;
    HANDLE rootDirectory;
    UnicodeString* objectName;
    ULONG attributes;
    void* securityDescriptor;
    void* securityQualityOfService;
  };
  using CreateFile = LONG(NTAPI*)(HANDLE*, ACCESS_MASK, ObjectAttributes*, IoStatusBlock*, LARGE_INTEGER*, ULONG, ULONG,
                                  ULONG, ULONG, void*, ULONG);
  constexpr ULONG kObjCaseInsensitive = 0x40;  // as CreateFileW opens
  constexpr ULONG kFileOpen = 1;
  constexpr ULONG kFileSynchronousIoNonalert = 0x20, kFileOpenForBackupIntent = 0x4000;
  constexpr ULONG kFileOpenReparsePoint = 0x200000;
  constexpr std::uint32_t kStatusObjectNameInvalid = 0xC0000033, kStatusProcedureNotFound = 0xC000007A;
  const auto ntCreateFile = NtdllFunction<CreateFile>("NtCreateFile");
  // One name, never a path: a separator would reach below the folder past the checks.
  if (name.empty() || name.size() > 0x7FFF || name.find_first_of(L"\\/") != std::wstring_view::npos) {
    status = kStatusObjectNameInvalid;
    return InvalidHandle();
  }
  if (ntCreateFile == nullptr) {
    status = kStatusProcedureNotFound;
    return InvalidHandle();
  }
  UnicodeString objectName{static_cast<USHORT>(name.size() * sizeof(wchar_t)),
                           static_cast<USHORT>(name.size() * sizeof(wchar_t)), name.data()};
  ObjectAttributes attributes{sizeof attributes, folder, &objectName, kObjCaseInsensitive, nullptr, nullptr};
  IoStatusBlock io = {};
  HANDLE file = nullptr;
  const LONG result = ntCreateFile(&file, RemovalAccess(forListing), &attributes, &io, nullptr, 0,
                                   RemovalSharing(forListing), kFileOpen,
                                   kFileSynchronousIoNonalert | kFileOpenForBackupIntent | kFileOpenReparsePoint,
                                   nullptr, 0);
  if (result < 0) {
    status = static_cast<std::uint32_t>(result);
    return InvalidHandle();
  }
  status = 0;
  return file;
}

std::uint32_t ErrorFromNtStatus(std::uint32_t status) {
  using NtStatusToDosError = ULONG(NTAPI*)(LONG);
  const auto toDosError = NtdllFunction<NtStatusToDosError>("RtlNtStatusToDosError");
  return toDosError != nullptr ? toDosError(static_cast<LONG>(status)) : ERROR_GEN_FAILURE;
}

std::uint32_t MarkForPosixDeletion(Handle file, bool ignoreReadOnly) {
  constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
  constexpr DWORD kDeletePosixSemantics = 0x1 | 0x2;  // FILE_DISPOSITION_FLAG_DELETE | _POSIX_SEMANTICS
  constexpr DWORD kIgnoreReadOnlyAttribute = 0x10;    // FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE
  DWORD flags = kDeletePosixSemantics | (ignoreReadOnly ? kIgnoreReadOnlyAttribute : 0);
  if (!SetFileInformationByHandle(file, kFileDispositionInfoEx, &flags, sizeof flags)) return GetLastError();
  return 0;
}

std::uint32_t MarkForDeletion(Handle file) {
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = TRUE;
  if (!SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition)) return GetLastError();
  return 0;
}

std::int32_t DeleteRegistryKey(RegistryRoot root, const std::string& subkey) {
  return static_cast<std::int32_t>(RegDeleteKeyA(RootKey(root), subkey.c_str()));
}

std::int32_t DeleteRegistryValue(RegistryRoot root, const std::string& subkey, const std::string& valueName) {
  return static_cast<std::int32_t>(RegDeleteKeyValueA(RootKey(root), subkey.c_str(), valueName.c_str()));
}

}  // namespace platform
