// Control side of the stand-in platform layer the unit tests link instead of Windows: tests
// script what each service returns, run a step, then read the report and the call log.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace standin {

struct Process {
  std::wstring exeFile;
  std::uint32_t id = 0;
  bool openFails = false;            // OpenProcess yields null, whatever the rights asked
  bool queryRightRefused = false;    // only an open asking for PROCESS_TERMINATE alone succeeds
  bool terminateFails = false;
  std::optional<std::wstring> imagePath;  // full image path; unset: "C:\\Programs\\" + exeFile
  bool imageUnreadable = false;
};

// A running process with the given name and id that opens and terminates without trouble.
inline Process Running(const std::wstring& exeFile, std::uint32_t id) {
  Process process;
  process.exeFile = exeFile;
  process.id = id;
  return process;
}

struct KnownFolderResult {
  std::int32_t result = 0;
  std::wstring path;
};

struct Node {
  std::uint32_t attributes = 0x20;  // FILE_ATTRIBUTE_ARCHIVE: a plain file
  // What a handle reports, when it differs from the listing: a link the system followed, or an
  // entry swapped between listing and opening.
  std::optional<std::uint32_t> handleAttributes;
  std::uint32_t reparseTag = 0;  // listed and by path; a handle reports the same
  std::uint32_t listError = 0;             // the listing by FileIdBothDirectoryInfo
  std::uint32_t listWithoutIdsError = 0;  // the listing by FileBothDirectoryInformation
  std::uint32_t posixDeleteError = 0;  // overrides State::posixDeleteError for this entry
  std::uint32_t openError = 0;
  int openErrorTimes = -1;  // how many opens fail with openError; -1: all of them
  std::uint32_t deleteError = 0;
  // A read-only entry: the classic deletion and POSIX deletion without the ignore-read-only flag
  // answer 5; with the flag it goes, attributes untouched.
  bool readOnly = false;
  // What the handle's final path reports; unset: "\\?\" + the entry's own path.
  std::optional<std::wstring> finalPath;
  std::uint32_t finalPathError = 0;  // the file system gives no final path
  // Another program holds the entry open with delete sharing: a classic deletion leaves it
  // delete-pending (still listed, and opens fail with 5) until that program lets go.
  bool heldWithDeleteSharing = false;
  bool deletePending = false;
  std::uint64_t fileIndex = 0;  // its identity on volume 1
};

struct State {
  std::vector<std::string> calls;  // every platform call, in order
  std::string output;              // every byte written to the report

  bool snapshotFails = false;
  std::vector<Process> processes;
  int walkFailsAt = -1;  // index of the first walk call that fails (0: Process32FirstW)

  std::map<platform::KnownFolder, KnownFolderResult> knownFolders;

  std::map<std::wstring, Node> files;  // the whole file system, by full path; a drive's root as L"D:\\"
  // The tool's current folder: "X:" names it where it is on drive X, and X's root on any other drive
  // (as where no other drive's current folder was set).
  std::wstring currentFolder = L"C:\\Tools";
  std::uint32_t posixDeleteError = 0;  // what FileDispositionInfoEx answers; 87: not supported
  std::uint32_t ignoreReadOnlyError = 0;  // what it answers to the ignore-read-only flag; 87 on 1607 to 1803
  std::uint32_t tagClassError = 0;     // what FileAttributeTagInfo answers; 87 on FAT and exFAT
  bool opensMayFollowLinks = false;    // Wine
  std::uint32_t dontReparseStatus = 0;  // what a relative open with OBJ_DONT_REPARSE answers
  // What an open relative to a handle that was itself opened relatively answers (WinFsp: 53).
  std::uint32_t nestedRelativeOpenStatus = 0;
  std::uint32_t lastNtStatus = 0;      // set by every failed file call, as the system's is
  // Another program swaps a folder above the tree once `swapAfterListing` has been listed: from then
  // on, every path that starts with `swapFrom` reaches the entry under `swapTo` instead (a link or a
  // renamed ancestor). Opens relative to a handle held already are not affected.
  std::wstring swapAfterListing, swapFrom, swapTo;
  bool swapped = false;

  std::map<std::string, std::int32_t> registry;  // "HKCU\\subkey" or "HKCU\\subkey|value" -> status
  std::int32_t registryAbsentStatus = 2;

  int openHandles = 0;
  int badCloses = 0;  // CloseHandle of a handle that is not open
};

State& Current();
void Reset();

// Adds a file system entry; the folders above it must be added by the caller.
void AddFolder(const std::wstring& path);
void AddFile(const std::wstring& path);
bool Exists(const std::wstring& path);
// Calls that mention text, e.g. Count("Sleep").
int Count(const std::string& text);
// The narrow form of a wide string for the call log (anything beyond ASCII becomes "?").
std::string Narrow(std::wstring_view text);

}  // namespace standin
