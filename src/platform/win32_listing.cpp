// The folder listings of the platform layer over the real Windows services: the class every
// Windows file system answers with file ids, and the one FindFirstFileW asks for, as the last resort.
#include <windows.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "platform/listing.h"
#include "platform/platform.h"
#include "platform/win32_ntdll.h"

namespace platform {

namespace {

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

}  // namespace

std::uint32_t ListFolder(Handle folder, std::vector<DirectoryEntry>& entries) {
  std::vector<ULONGLONG> buffer(kListingBufferSize / sizeof(ULONGLONG));
  unsigned char* const firstNameLength =
      reinterpret_cast<unsigned char*>(buffer.data()) + offsetof(FILE_ID_BOTH_DIR_INFO, FileNameLength);
  const auto query = [&](bool restart, std::size_t& filled) -> std::uint32_t {
    // This call tells no byte count: a first record still without a name after a success means
    // the file system wrote nothing.
    ULONG nameLength = 0;
    std::memcpy(firstNameLength, &nameLength, sizeof nameLength);
    const FILE_INFO_BY_HANDLE_CLASS infoClass = restart ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo;
    if (GetFileInformationByHandleEx(folder, infoClass, buffer.data(), kListingBufferSize)) {
      std::memcpy(&nameLength, firstNameLength, sizeof nameLength);
      filled = nameLength != 0 ? kListingBufferSize : 0;
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
  const auto queryDirectoryFile = Ntdll().queryDirectoryFile;
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

}  // namespace platform
