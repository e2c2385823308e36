// The thin layer between the clean-up steps and Windows.
//
// win32_platform.cpp implements it over the real services; the native unit tests link
// tests/unit/standin_platform.cpp instead, which records every call and returns scripted results.
// Nothing here includes <windows.h>, so the steps compile on any host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

using Handle = void*;

// INVALID_HANDLE_VALUE: what snapshots and files use for "no handle" (processes use null).
inline Handle InvalidHandle() { return reinterpret_cast<Handle>(static_cast<std::intptr_t>(-1)); }

// CloseHandle.
void CloseHandle(Handle handle);

// Owns one handle and closes it when it goes out of scope. kNullIsNone picks the "no handle"
// value of the service that produced it: null for OpenProcess, INVALID_HANDLE_VALUE for
// CreateToolhelp32Snapshot and CreateFileW. Mixing the two up is a classic leak or double close.
template <bool kNullIsNone>
class OwnedHandle {
 public:
  OwnedHandle() = default;
  explicit OwnedHandle(Handle handle) : handle_(handle) {}
  ~OwnedHandle() { Reset(); }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  OwnedHandle(OwnedHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = None(); }
  OwnedHandle& operator=(OwnedHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      handle_ = other.handle_;
      other.handle_ = None();
    }
    return *this;
  }

  static Handle None() { return kNullIsNone ? nullptr : InvalidHandle(); }
  bool Valid() const { return handle_ != None(); }
  Handle Get() const { return handle_; }
  void Reset() {
    if (Valid()) CloseHandle(handle_);
    handle_ = None();
  }

 private:
  Handle handle_ = None();
};

using SnapshotHandle = OwnedHandle<false>;
using ProcessHandle = OwnedHandle<true>;
using FileHandle = OwnedHandle<false>;

// ---- Start-up -------------------------------------------------------------------------------

// Makes every later DLL load search only the system folder, never the tool's own folder (often a
// Downloads folder) or the current one. Called first thing, before any module beyond those of
// kernel32 is loaded: modules the tool needs beyond them are loaded at run time, after it.
void RestrictDllSearch();
// Loads from the system folder, by full path, the DLLs that shell32 and ole32 may load by name
// later, so that such a load finds them in the process. RestrictDllSearch does this where
// SetDefaultDllDirectories is missing (Vista, Windows 7 without KB2533623).
void PreloadSystemDlls();

// ---- Report output ----------------------------------------------------------------------

// Appends bytes to standard output (text mode: "\n" reaches a file or pipe as CR LF).
// Failures are ignored: a report that cannot be written never changes the clean-up.
void WriteOutput(std::string_view bytes);
// Flushes standard output.
void FlushOutput();
// Converts UTF-16 text to the system's ANSI code page, each character mapped exactly
// (no best-fit substitutes); a character the code page cannot hold becomes "?".
std::string ToAnsiCodePage(std::wstring_view text);

// ---- Processes ----------------------------------------------------------------------------

struct ProcessRecord {
  std::wstring exeFile;  // szExeFile: file name of the executable, no folder
  std::uint32_t processId = 0;
};

// CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0); InvalidHandle() on failure.
Handle CreateProcessSnapshot();
// Process32FirstW / Process32NextW; false when no entry is left or on failure.
bool FirstProcess(Handle snapshot, ProcessRecord& record);
bool NextProcess(Handle snapshot, ProcessRecord& record);

constexpr std::uint32_t kProcessTerminate = 0x0001;                // PROCESS_TERMINATE
constexpr std::uint32_t kProcessQueryLimitedInformation = 0x1000;  // PROCESS_QUERY_LIMITED_INFORMATION

// OpenProcess(access, FALSE, processId); null on failure.
Handle OpenProcess(std::uint32_t access, std::uint32_t processId);
// QueryFullProcessImageNameW; false when the name cannot be read.
bool QueryProcessImagePath(Handle process, std::wstring& imagePath);
// TerminateProcess; true on success. Does not wait for the process to end.
bool TerminateProcess(Handle process, std::uint32_t exitCode);

// ---- Known folders --------------------------------------------------------------------------

enum class KnownFolder { RoamingAppData, ProgramFilesX86, ProgramData };

// Frees the string SHGetKnownFolderPath returned (CoTaskMemFree).
void FreeKnownFolderPath(wchar_t* path);

// The path string SHGetKnownFolderPath hands out, released with CoTaskMemFree when the
// holder goes out of scope (also after a failed call, as the service asks).
class KnownFolderPath {
 public:
  KnownFolderPath() = default;
  ~KnownFolderPath() { FreeKnownFolderPath(path_); }
  KnownFolderPath(const KnownFolderPath&) = delete;
  KnownFolderPath& operator=(const KnownFolderPath&) = delete;

  const wchar_t* Get() const { return path_; }
  wchar_t** Receive() { return &path_; }

 private:
  wchar_t* path_ = nullptr;
};

// SHGetKnownFolderPath(id, 0, null, ...); returns the HRESULT (0 on success). Where shell32's
// SHGetKnownFolderPath or ole32's CoTaskMemFree cannot be loaded, the HRESULT of that failure.
std::int32_t GetKnownFolderPath(KnownFolder folder, KnownFolderPath& path);

// Sleep.
void Sleep(std::uint32_t milliseconds);

// ---- File system (what the folder removal is built on) --------------------------------------

constexpr std::uint32_t kAttributeDirectory = 0x10;      // FILE_ATTRIBUTE_DIRECTORY
constexpr std::uint32_t kAttributeReparsePoint = 0x400;  // FILE_ATTRIBUTE_REPARSE_POINT
// Set in the tags of reparse points that stand for another named entry: symbolic links,
// junctions and their kin. Other tags (cloud-file and other placeholders) mark no link.
constexpr std::uint32_t kReparseTagNameSurrogate = 0x20000000;

constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorPathNotFound = 3;
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorBadPathname = 161;
// NT statuses of an open that mean the entry is gone, or waits only for another program to let
// go of it (its deletion is pending: Win32 folds that into 5).
constexpr std::uint32_t kStatusObjectNameNotFound = 0xC0000034;
constexpr std::uint32_t kStatusObjectPathNotFound = 0xC000003A;
constexpr std::uint32_t kStatusDeletePending = 0xC0000056;
// NT statuses of a relative open that the file system, not the entry, refuses.
constexpr std::uint32_t kStatusInvalidParameter = 0xC000000D;
constexpr std::uint32_t kStatusInvalidDeviceRequest = 0xC0000010;
constexpr std::uint32_t kStatusNotSupported = 0xC00000BB;
constexpr std::uint32_t kErrorBadNetpath = 53;  // ERROR_BAD_NETPATH

struct DirectoryEntry {
  std::wstring name;
  std::uint32_t attributes = 0;
  std::uint32_t reparseTag = 0;  // where attributes hold kAttributeReparsePoint; 0 where unknown
};

// GetFileAttributesW, which reports a link's own attributes, and where those name a reparse
// point, its tag (from FindFirstFileExW; 0 where it cannot be had). Returns 0 or the error code.
std::uint32_t GetPathAttributes(const std::wstring& path, std::uint32_t& attributes, std::uint32_t& reparseTag);
// RtlGetLastNtStatus: the NT status of the calling thread's last failed system call, which tells
// apart the causes Win32 folds into one code. Called right after the failure; 0 where unavailable.
std::uint32_t LastNtStatus();
// CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, plus FILE_LIST_DIRECTORY when
// forListing), with FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS. An entry opened
// for listing does not share delete access, so it cannot be renamed or swapped while it is held.
// Returns InvalidHandle() and sets error on failure.
Handle OpenForRemoval(const std::wstring& path, bool forListing, std::uint32_t& error);
// NtCreateFile of `name` relative to the open folder `folder` (its RootDirectory), with the same
// access, sharing and link handling as OpenForRemoval: no path is walked, so nothing above the
// held folder can redirect the open. With dontReparse also OBJ_DONT_REPARSE, so that not even a
// filter driver can send the open elsewhere (systems before Windows 10 1607 refuse it with
// STATUS_INVALID_PARAMETER). Returns InvalidHandle() and sets status to the NT status on failure.
Handle OpenChildForRemoval(Handle folder, std::wstring_view name, bool forListing, bool dontReparse,
                           std::uint32_t& status);
// Whether opens on this system may follow links whatever they ask: under Wine (ntdll exports
// wine_get_version, or names the open file by its DOS path, \??\C:\..., where Windows names its
// volume device), or where the file's name cannot be had to tell. There only an entry's final path
// shows where its handle went.
bool OpensMayFollowLinks(Handle file);
// RtlNtStatusToDosError: the Win32 code of an NT status.
std::uint32_t ErrorFromNtStatus(std::uint32_t status);
// CreateFileW(path, FILE_READ_ATTRIBUTES, all sharing) with FILE_FLAG_BACKUP_SEMANTICS, following
// links: a folder opened only to learn its final path. InvalidHandle() on failure.
Handle OpenForQuery(const std::wstring& path);
// GetFinalPathNameByHandleW(FILE_NAME_NORMALIZED | VOLUME_NAME_DOS): the path the handle really
// reaches, in the "\\?\" form; under Wine, whose object names are DOS paths, from the object name.
// A file system that keeps asking for a larger buffer gets a few tries, then 122. Returns 0 or the
// error code.
std::uint32_t GetFinalPath(Handle file, std::wstring& path);
// Whether two paths name the same entry as the file system compares names: ordinally, ignoring case.
bool SamePath(std::wstring_view a, std::wstring_view b);
// FileBasicInfo of an open handle, which every file system answers. Returns 0 or the error code.
std::uint32_t GetHandleAttributes(Handle file, std::uint32_t& attributes);
// A file's identity: its volume's serial number and its index on that volume, which stay the same
// however it is renamed and differ from every other file's there.
struct FileIdentity {
  std::uint32_t volume = 0;
  std::uint64_t index = 0;
  bool operator==(const FileIdentity& other) const { return volume == other.volume && index == other.index; }
};
// GetFileInformationByHandle's volume serial number and file index. Returns 0 or the error code.
std::uint32_t GetFileIdentity(Handle file, FileIdentity& identity);
// FileAttributeTagInfo of an open handle: its reparse tag. FAT and exFAT answer 87 (they have no
// reparse points), so it is asked only of a handle whose attributes name one. Returns 0 or the
// error code.
std::uint32_t GetHandleReparseTag(Handle file, std::uint32_t& reparseTag);
// Every entry of an open folder except "." and "..", by FileIdBothDirectoryInfo, 64 KiB a query.
// A query that succeeds without a record ends the listing; one whose records run past the buffer,
// a batch that repeats the one before, or more than a million entries are an error (13). Returns
// 0 or the error code.
std::uint32_t ListFolder(Handle folder, std::vector<DirectoryEntry>& entries);
// The same by the class FindFirstFileW asks for (NtQueryDirectoryFile, FileBothDirectoryInformation),
// for file systems that do not answer the one above: RDP-redirected drives, older SMB servers,
// some third-party drivers. Through the held handle: a second open of the folder by its path
// would not share delete access with it, and fail. Returns 0 or the error code.
std::uint32_t ListFolderWithoutIds(Handle folder, std::vector<DirectoryEntry>& entries);
// FileDispositionInfoEx with FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS:
// the entry leaves its folder when its handle is closed, even while another program still holds
// it open with delete sharing. Systems before Windows 10 1607, FAT, SMB shares and Wine 8 answer
// 87, 1 or 50. With ignoreReadOnly also FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE: a
// read-only entry goes without its attributes being changed (Windows 10 1809 on; 1607 to 1803
// answer 87). Returns 0 or the error code.
std::uint32_t MarkForPosixDeletion(Handle file, bool ignoreReadOnly);
// FileDispositionInfo: the entry is deleted when the last handle to it is closed. Returns 0 or the
// error code.
std::uint32_t MarkForDeletion(Handle file);

// ---- Registry -------------------------------------------------------------------------------

enum class RegistryRoot { LocalMachine, CurrentUser };  // HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER

// RegDeleteKeyA(root, subkey); returns the status code.
std::int32_t DeleteRegistryKey(RegistryRoot root, const std::string& subkey);
// RegDeleteKeyValueA(root, subkey, valueName); returns the status code.
std::int32_t DeleteRegistryValue(RegistryRoot root, const std::string& subkey,
                                 const std::string& valueName);

}  // namespace platform
