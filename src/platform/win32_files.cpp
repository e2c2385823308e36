// The platform layer's file-system calls over the real Windows services: kernel32's, and ntdll's
// where kernel32 has no call that opens one name relative to a held folder. The folder listings
// are in win32_listing.cpp.
#include <windows.h>

#include <string_view>
#include <vector>

#include "platform/paths.h"
#include "platform/platform.h"
#include "platform/win32_module.h"
#include "platform/win32_ntdll.h"

namespace platform {

namespace {

// A plain global filled on first use: a function-local static of this type would pull in the
// thread-safe guard and its imports.
NtdllFunctions gNtdll;
bool gNtdllLoaded = false;

}  // namespace

const NtdllFunctions& Ntdll() {
  if (!gNtdllLoaded) {
    gNtdllLoaded = true;
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");  // in every process already
    gNtdll.createFile = FindFunction<decltype(gNtdll.createFile)>(ntdll, "NtCreateFile");
    gNtdll.queryDirectoryFile = FindFunction<decltype(gNtdll.queryDirectoryFile)>(ntdll, "NtQueryDirectoryFile");
    gNtdll.queryObject = FindFunction<decltype(gNtdll.queryObject)>(ntdll, "NtQueryObject");
    gNtdll.getLastNtStatus = FindFunction<decltype(gNtdll.getLastNtStatus)>(ntdll, "RtlGetLastNtStatus");
    gNtdll.ntStatusToDosError = FindFunction<decltype(gNtdll.ntStatusToDosError)>(ntdll, "RtlNtStatusToDosError");
  }
  return gNtdll;
}

namespace {

constexpr std::wstring_view kDosDevices = L"\\??\\";

// The object name of an open file (NtQueryObject, ObjectNameInformation): Wine's is its DOS path
// behind \??\, Windows' its volume device (\Device\HarddiskVolume3\...). Returns 0 or an error.
std::uint32_t ObjectName(HANDLE file, std::vector<UnicodeString>& buffer, std::wstring_view& name) {
  const auto queryObject = Ntdll().queryObject;
  if (queryObject == nullptr) return ERROR_PROC_NOT_FOUND;
  constexpr int kObjectNameInformation = 1;
  // Room for a usual path first; a longer one says what it needs, and gets one more try.
  buffer.resize(1 + (MAX_PATH * 2 * sizeof(wchar_t)) / sizeof(UnicodeString));
  ULONG used = 0;
  const auto query = [&] {
    const auto size = static_cast<ULONG>(buffer.size() * sizeof(UnicodeString));
    return queryObject(file, kObjectNameInformation, buffer.data(), size, &used);
  };
  LONG status = query();
  if (status < 0 && used > buffer.size() * sizeof(UnicodeString) && used <= 70 * 1024) {
    buffer.resize(1 + used / sizeof(UnicodeString));
    status = query();
  }
  if (status < 0) return ERROR_MORE_DATA;
  name = std::wstring_view(buffer[0].buffer, buffer[0].length / sizeof(wchar_t));
  return 0;
}

// Wine's GetFinalPathNameByHandleW derives the final path from the object name through the mount
// manager, at several times the cost of the name itself, and fails past MAX_PATH. So where the
// object name has the DOS form, it serves directly (the final path is the same behind \\?\);
// once it has not, it is not asked again.
bool gObjectNameIsDosPath = true;

std::uint32_t FinalPathFromObjectName(HANDLE file, std::wstring& path) {
  std::vector<UnicodeString> buffer;
  std::wstring_view name;
  if (ObjectName(file, buffer, name) != 0 || name.substr(0, kDosDevices.size()) != kDosDevices) {
    return ERROR_MORE_DATA;
  }
  path.assign(L"\\\\?\\");
  path.append(name.substr(kDosDevices.size()));
  return 0;
}

// What an open for removal asks, by path or relative to a held folder: delete access always; a
// folder to be listed is held without sharing delete access, so it cannot be renamed or swapped.
DWORD RemovalAccess(bool forListing) {
  return DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE | (forListing ? FILE_LIST_DIRECTORY : 0);
}
DWORD RemovalSharing(bool forListing) {
  return FILE_SHARE_READ | FILE_SHARE_WRITE | (forListing ? 0 : FILE_SHARE_DELETE);
}

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

}  // namespace

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
  const auto getLastNtStatus = Ntdll().getLastNtStatus;
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

std::uint32_t GetFileIdentity(Handle file, FileIdentity& identity) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(file, &info)) return GetLastError();
  identity.volume = info.dwVolumeSerialNumber;
  identity.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return 0;
}

std::uint32_t GetHandleReparseTag(Handle file, std::uint32_t& reparseTag) {
  FILE_ATTRIBUTE_TAG_INFO info = {};
  if (!GetFileInformationByHandleEx(file, FileAttributeTagInfo, &info, sizeof info)) return GetLastError();
  reparseTag = info.ReparseTag;
  return 0;
}

Handle OpenChildForRemoval(Handle folder, std::wstring_view name, bool forListing, bool dontReparse,
                           std::uint32_t& status) {
  constexpr ULONG kObjCaseInsensitive = 0x40;  // as CreateFileW opens
  constexpr ULONG kObjDontReparse = 0x1000;
  constexpr ULONG kFileOpen = 1;
  constexpr ULONG kFileSynchronousIoNonalert = 0x20, kFileOpenForBackupIntent = 0x4000;
  constexpr ULONG kFileOpenReparsePoint = 0x200000;
  constexpr std::uint32_t kStatusObjectNameInvalid = 0xC0000033, kStatusProcedureNotFound = 0xC000007A;
  const auto ntCreateFile = Ntdll().createFile;
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
  ObjectAttributes attributes{sizeof attributes, folder, &objectName,
                              kObjCaseInsensitive | (dontReparse ? kObjDontReparse : 0), nullptr, nullptr};
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

bool OpensMayFollowLinks(Handle file) {
  if (FindFunction<void (*)()>(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr) return true;
  std::vector<UnicodeString> buffer;
  std::wstring_view name;
  // A name that cannot be had tells nothing: the entries are checked.
  return ObjectName(file, buffer, name) != 0 || name.substr(0, kDosDevices.size()) == kDosDevices;
}

std::uint32_t ErrorFromNtStatus(std::uint32_t status) {
  const auto toDosError = Ntdll().ntStatusToDosError;
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

}  // namespace platform
