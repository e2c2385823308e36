// The platform layer for the native unit tests: no Windows, only scripted answers and a log.
#include <algorithm>
#include <cstdint>
#include <cwctype>

#include "platform/platform.h"
#include "standin.h"

namespace standin {

namespace {

enum class Kind { Snapshot, Process, File };

struct OpenHandle {
  explicit OpenHandle(Kind k) : kind(k) {}
  Kind kind;
  std::uint32_t processId = 0;
  std::wstring path;
  bool forListing = false;
  bool relative = false;  // opened relative to another handle
  bool marked = false;
  bool posix = false;  // marked with POSIX semantics
};

State gState;
std::map<std::uintptr_t, OpenHandle> gHandles;
std::uintptr_t gNextHandle = 0x100;
std::size_t gWalkPosition = 0;

platform::Handle NewHandle(OpenHandle handle) {
  const std::uintptr_t value = gNextHandle;
  gNextHandle += 4;
  gHandles.emplace(value, std::move(handle));
  ++gState.openHandles;
  return reinterpret_cast<platform::Handle>(value);
}

OpenHandle* Find(platform::Handle handle) {
  auto it = gHandles.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == gHandles.end() ? nullptr : &it->second;
}

void Log(std::string call) { gState.calls.push_back(std::move(call)); }

// A folder's path with the one separator its entries' names follow: a drive's root has it already.
std::wstring ChildPrefix(const std::wstring& path) {
  return !path.empty() && path.back() == L'\\' ? path : path + L'\\';
}

// The folder that holds path: D:\ for D:\Velmirant (a root keeps its separator: "D:" alone names
// the drive's current folder), none for a root.
std::wstring Parent(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L'\\');
  if (slash == std::wstring::npos || slash + 1 == path.size()) return {};
  return path.substr(0, slash > 0 && path[slash - 1] == L':' ? slash + 1 : slash);
}

// A path as the system resolves it: "X:" alone names drive X's current folder, and another
// program's swap of an ancestor redirects what lies below it (State::swapFrom).
std::wstring Resolve(const std::wstring& given) {
  std::wstring path = given;
  if (path.size() == 2 && path[1] == L':') {
    const std::wstring& current = gState.currentFolder;
    const bool onThatDrive = current.size() > 2 && std::towupper(current[0]) == std::towupper(path[0]);
    path = onThatDrive ? current : path + L'\\';
  }
  const std::wstring& from = gState.swapFrom;
  if (!gState.swapped || path.compare(0, from.size(), from) != 0) return path;
  if (path.size() > from.size() && path[from.size()] != L'\\') return path;
  return gState.swapTo + path.substr(from.size());
}

std::uint32_t MissingError(const std::wstring& path) {
  const std::wstring parent = Parent(path);
  return parent.empty() || gState.files.count(parent) != 0 ? platform::kErrorFileNotFound
                                                           : platform::kErrorPathNotFound;
}

bool HasChildren(const std::wstring& path) {
  const std::wstring prefix = ChildPrefix(path);
  auto it = gState.files.lower_bound(prefix);
  return it != gState.files.end() && it->first.compare(0, prefix.size(), prefix) == 0;
}

const Process* FindProcess(std::uint32_t id) {
  for (const Process& process : gState.processes) {
    if (process.id == id) return &process;
  }
  return nullptr;
}

bool Walk(platform::ProcessRecord& record) {
  if (gState.walkFailsAt >= 0 && gWalkPosition >= static_cast<std::size_t>(gState.walkFailsAt)) return false;
  if (gWalkPosition >= gState.processes.size()) return false;
  record.exeFile = gState.processes[gWalkPosition].exeFile;
  record.processId = gState.processes[gWalkPosition].id;
  ++gWalkPosition;
  return true;
}

std::string RootName(platform::RegistryRoot root) {
  return root == platform::RegistryRoot::LocalMachine ? "HKLM" : "HKCU";
}

// What a handle opened on the entry reports: the entry as it is now, not as it was listed.
std::uint32_t HandleAttributes(const Node& node) {
  return node.handleAttributes ? *node.handleAttributes : node.attributes;
}

// A link as the file system sees it now: a reparse point whose tag is a name surrogate, or none.
// A placeholder folder is no link: its children are its own.
bool IsLink(const Node& node) {
  return (HandleAttributes(node) & platform::kAttributeReparsePoint) != 0 &&
         (node.reparseTag == 0 || (node.reparseTag & platform::kReparseTagNameSurrogate) != 0);
}

void EraseBelow(const std::wstring& path) {
  const std::wstring prefix = ChildPrefix(path);
  auto it = gState.files.lower_bound(prefix);
  while (it != gState.files.end() && it->first.compare(0, prefix.size(), prefix) == 0) it = gState.files.erase(it);
}

// A failed file call: its Win32 code, and the NT status the thread keeps for it.
std::uint32_t Failed(std::uint32_t error, std::uint32_t ntStatus = 0xC0000001) {  // STATUS_UNSUCCESSFUL
  gState.lastNtStatus = ntStatus;
  return error;
}

void ListChildren(const std::wstring& path, std::vector<platform::DirectoryEntry>& entries) {
  const std::wstring prefix = ChildPrefix(path);
  for (auto it = gState.files.lower_bound(prefix); it != gState.files.end(); ++it) {
    if (it->first.compare(0, prefix.size(), prefix) != 0) break;
    const std::wstring name = it->first.substr(prefix.size());
    if (name.find(L'\\') == std::wstring::npos) {
      entries.push_back(platform::DirectoryEntry{name, it->second.attributes, it->second.reparseTag});
    }
  }
}

// A listing of an open folder by one query class, which fails with the node's error for it.
std::uint32_t List(platform::Handle folder, const std::string& call, std::uint32_t Node::*error,
                   std::vector<platform::DirectoryEntry>& entries) {
  const OpenHandle* open = Find(folder);
  if (open == nullptr) return 6;  // ERROR_INVALID_HANDLE
  Log(call + Narrow(open->path));
  if (!open->forListing) return 5;  // opened without FILE_LIST_DIRECTORY
  if (const std::uint32_t scripted = gState.files.at(open->path).*error) return scripted;
  ListChildren(open->path, entries);
  if (open->path == gState.swapAfterListing) gState.swapped = true;
  return 0;
}

// Scripted Win32 codes travel as NT statuses with the customer bit; ErrorFromNtStatus undoes it.
constexpr std::uint32_t kScriptedStatus = 0xE0000000;

// What opening the entry at path (resolved already) gives, by either form of open: a handle, or
// InvalidHandle() with the Win32 code and the NT status of the failure.
platform::Handle OpenNode(const std::wstring& path, bool forListing, std::uint32_t& error, std::uint32_t& status) {
  auto it = gState.files.find(path);
  error = 0;
  status = 0;
  if (it == gState.files.end()) {
    error = MissingError(path);
    status = error == platform::kErrorFileNotFound ? platform::kStatusObjectNameNotFound
                                                   : platform::kStatusObjectPathNotFound;
  } else if (it->second.deletePending) {
    error = platform::kErrorAccessDenied;  // STATUS_DELETE_PENDING, as Win32 reports it
    status = platform::kStatusDeletePending;
  } else if (it->second.openError != 0 && it->second.openErrorTimes != 0) {
    if (it->second.openErrorTimes > 0) --it->second.openErrorTimes;
    error = it->second.openError;
    status = error == platform::kErrorFileNotFound   ? platform::kStatusObjectNameNotFound
             : error == platform::kErrorPathNotFound ? platform::kStatusObjectPathNotFound
                                                     : kScriptedStatus | error;
  }
  if (error != 0) {
    Failed(error, status);
    return platform::InvalidHandle();
  }
  OpenHandle handle(Kind::File);
  handle.path = path;
  handle.forListing = forListing;
  return NewHandle(std::move(handle));
}

std::int32_t RegistryStatus(const std::string& key) {
  auto it = gState.registry.find(key);
  return it == gState.registry.end() ? gState.registryAbsentStatus : it->second;
}

}  // namespace

State& Current() { return gState; }

void Reset() {
  gState = State();
  gHandles.clear();
  gNextHandle = 0x100;
  gWalkPosition = 0;
}

void AddFolder(const std::wstring& path) {
  Node folder;
  folder.attributes = platform::kAttributeDirectory;
  gState.files[path] = folder;
}
void AddFile(const std::wstring& path) { gState.files[path] = Node{}; }
bool Exists(const std::wstring& path) { return gState.files.count(path) != 0; }

int Count(const std::string& text) {
  return static_cast<int>(std::count_if(gState.calls.begin(), gState.calls.end(),
                                        [&](const std::string& call) { return call.find(text) != std::string::npos; }));
}

std::string Narrow(std::wstring_view text) {
  std::string narrow;
  for (wchar_t c : text) narrow += c < 0x80 ? static_cast<char>(c) : '?';
  return narrow;
}

}  // namespace standin

namespace platform {

using standin::gHandles;
using standin::gState;
using standin::Log;
using standin::Narrow;

void CloseHandle(Handle handle) {
  standin::OpenHandle* open = standin::Find(handle);
  if (open == nullptr) {
    ++gState.badCloses;
    Log("CloseHandle <not open>");
    return;
  }
  switch (open->kind) {
    case standin::Kind::Snapshot: Log("CloseHandle snapshot"); break;
    case standin::Kind::Process: Log("CloseHandle process " + std::to_string(open->processId)); break;
    case standin::Kind::File:
      Log("CloseHandle " + Narrow(open->path));
      if (open->marked) {
        standin::Node& node = gState.files.at(open->path);
        if (node.heldWithDeleteSharing && !open->posix) {
          node.deletePending = true;
          Log("delete pending " + Narrow(open->path));
        } else {
          // What showed below a link was its target's, seen through it; it goes out of view with it.
          if (standin::IsLink(node)) standin::EraseBelow(open->path);
          gState.files.erase(open->path);
          Log("deleted " + Narrow(open->path));
        }
      }
      break;
  }
  gHandles.erase(reinterpret_cast<std::uintptr_t>(handle));
  --gState.openHandles;
}

void WriteOutput(std::string_view bytes) {
  gState.output.append(bytes);
  Log("write " + std::string(bytes));
}

void FlushOutput() { Log("flush"); }

// Stands in for code page 1252 in the range where it agrees with Latin-1.
std::string ToAnsiCodePage(std::wstring_view text) {
  std::string converted;
  for (wchar_t c : text) {
    const bool exact = c < 0x80 || (c >= 0xA0 && c <= 0xFF);
    converted += exact ? static_cast<char>(static_cast<unsigned char>(c)) : '?';
  }
  return converted;
}

Handle CreateProcessSnapshot() {
  Log("CreateToolhelp32Snapshot");
  if (gState.snapshotFails) return InvalidHandle();
  standin::gWalkPosition = 0;
  return standin::NewHandle(standin::OpenHandle(standin::Kind::Snapshot));
}

bool FirstProcess(Handle snapshot, ProcessRecord& record) {
  Log("Process32FirstW");
  if (standin::Find(snapshot) == nullptr) return false;
  standin::gWalkPosition = 0;
  return standin::Walk(record);
}

bool NextProcess(Handle snapshot, ProcessRecord& record) {
  Log("Process32NextW");
  if (standin::Find(snapshot) == nullptr) return false;
  return standin::Walk(record);
}

Handle OpenProcess(std::uint32_t access, std::uint32_t processId) {
  Log("OpenProcess " + std::to_string(processId) + " access " + std::to_string(access));
  const standin::Process* process = standin::FindProcess(processId);
  if (process == nullptr || process->openFails) return nullptr;
  if (process->queryRightRefused && (access & kProcessQueryLimitedInformation) != 0) return nullptr;
  standin::OpenHandle handle(standin::Kind::Process);
  handle.processId = processId;
  return standin::NewHandle(std::move(handle));
}

bool QueryProcessImagePath(Handle process, std::wstring& imagePath) {
  const standin::OpenHandle* open = standin::Find(process);
  Log("QueryFullProcessImageNameW " + std::to_string(open ? open->processId : 0));
  const standin::Process* scripted = open ? standin::FindProcess(open->processId) : nullptr;
  if (scripted == nullptr || scripted->imageUnreadable) return false;
  imagePath = scripted->imagePath ? *scripted->imagePath : L"C:\\Programs\\" + scripted->exeFile;
  return true;
}

bool TerminateProcess(Handle process, std::uint32_t exitCode) {
  const standin::OpenHandle* open = standin::Find(process);
  Log("TerminateProcess " + std::to_string(open ? open->processId : 0) + " " + std::to_string(exitCode));
  const standin::Process* scripted = open ? standin::FindProcess(open->processId) : nullptr;
  return scripted != nullptr && !scripted->terminateFails;
}

void FreeKnownFolderPath(wchar_t* path) {
  if (path == nullptr) return;
  Log("CoTaskMemFree " + Narrow(path));
  delete[] path;
}

std::int32_t GetKnownFolderPath(KnownFolder folder, KnownFolderPath& path) {
  const bool roaming = folder == KnownFolder::RoamingAppData;
  Log(std::string("SHGetKnownFolderPath ") + (roaming ? "RoamingAppData" : "ProgramFilesX86"));
  auto it = gState.knownFolders.find(folder);
  const standin::KnownFolderResult scripted =
      it != gState.knownFolders.end()
          ? it->second
          : standin::KnownFolderResult{0, roaming ? L"C:\\Users\\user1\\AppData\\Roaming" : L"C:\\Program Files (x86)"};
  if (scripted.result != 0) return scripted.result;
  wchar_t* copy = new wchar_t[scripted.path.size() + 1];
  std::copy(scripted.path.begin(), scripted.path.end(), copy);
  copy[scripted.path.size()] = L'\0';
  *path.Receive() = copy;
  return 0;
}

void Sleep(std::uint32_t milliseconds) { Log("Sleep " + std::to_string(milliseconds)); }

std::uint32_t GetPathAttributes(const std::wstring& given, std::uint32_t& attributes, std::uint32_t& reparseTag) {
  Log("GetFileAttributesW " + Narrow(given));
  const std::wstring path = standin::Resolve(given);
  auto it = gState.files.find(path);
  if (it == gState.files.end()) return standin::Failed(standin::MissingError(path));
  if (it->second.deletePending) return standin::Failed(5, kStatusDeletePending);
  attributes = it->second.attributes;
  reparseTag = it->second.reparseTag;
  return 0;
}

std::uint32_t LastNtStatus() { return gState.lastNtStatus; }

Handle OpenForRemoval(const std::wstring& path, bool forListing, std::uint32_t& error) {
  Log(std::string("CreateFileW ") + (forListing ? "list " : "") + Narrow(path));
  std::uint32_t status = 0;
  return standin::OpenNode(standin::Resolve(path), forListing, error, status);
}

Handle OpenChildForRemoval(Handle folder, std::wstring_view name, bool forListing, bool dontReparse,
                           std::uint32_t& status) {
  const standin::OpenHandle* open = standin::Find(folder);
  if (open == nullptr) {
    status = 0xC0000008;  // STATUS_INVALID_HANDLE
    return InvalidHandle();
  }
  // Relative to what the handle holds, wherever that is now reached from.
  const std::wstring path = standin::ChildPrefix(open->path) + std::wstring(name);
  Log(std::string("NtCreateFile ") + (forListing ? "list " : "") + Narrow(path) + (dontReparse ? " (dont-reparse)" : ""));
  if (dontReparse && gState.dontReparseStatus != 0) {
    status = standin::Failed(gState.dontReparseStatus, gState.dontReparseStatus);
    return InvalidHandle();
  }
  if (open->relative && gState.nestedRelativeOpenStatus != 0) {
    status = standin::Failed(gState.nestedRelativeOpenStatus, gState.nestedRelativeOpenStatus);
    return InvalidHandle();
  }
  std::uint32_t error = 0;
  const Handle child = standin::OpenNode(path, forListing, error, status);
  if (standin::OpenHandle* opened = standin::Find(child)) opened->relative = true;
  return child;
}

bool OpensMayFollowLinks(Handle file) {
  const standin::OpenHandle* open = standin::Find(file);
  Log("NtQueryObject " + Narrow(open ? open->path : L"<not open>"));
  return gState.opensMayFollowLinks;
}

std::uint32_t ErrorFromNtStatus(std::uint32_t status) {
  if ((status & 0xF0000000) == standin::kScriptedStatus) return status & 0x0FFFFFFF;
  switch (status) {
    case kStatusObjectNameNotFound: return kErrorFileNotFound;
    case kStatusObjectPathNotFound: return kErrorPathNotFound;
    case kStatusDeletePending: return kErrorAccessDenied;
    case kStatusInvalidParameter: return 87;
    case kStatusInvalidDeviceRequest: return 1;
    case kStatusNotSupported: return 50;
    case 0xC00000BE: return kErrorBadNetpath;  // STATUS_BAD_NETWORK_PATH
    default: return 317;  // ERROR_MR_MID_NOT_FOUND: what RtlNtStatusToDosError gives for a status it does not know
  }
}

Handle OpenForQuery(const std::wstring& given) {
  Log("CreateFileW query " + Narrow(given));
  const std::wstring path = standin::Resolve(given);
  if (gState.files.count(path) == 0) return InvalidHandle();
  standin::OpenHandle handle(standin::Kind::File);
  handle.path = path;
  return standin::NewHandle(std::move(handle));
}

std::uint32_t GetFinalPath(Handle file, std::wstring& path) {
  const standin::OpenHandle* open = standin::Find(file);
  if (open == nullptr) return 6;  // ERROR_INVALID_HANDLE
  Log("GetFinalPath " + Narrow(open->path));
  const standin::Node& node = gState.files.at(open->path);
  if (node.finalPathError != 0) return node.finalPathError;
  path = node.finalPath ? *node.finalPath : L"\\\\?\\" + open->path;
  return 0;
}

bool SamePath(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::towupper(a[i]) != std::towupper(b[i])) return false;
  }
  return true;
}

std::uint32_t GetHandleAttributes(Handle file, std::uint32_t& attributes) {
  const standin::OpenHandle* open = standin::Find(file);
  if (open == nullptr) return 6;  // ERROR_INVALID_HANDLE
  Log("FileBasicInfo " + Narrow(open->path));
  attributes = standin::HandleAttributes(gState.files.at(open->path));
  return 0;
}

std::uint32_t GetFileIdentity(Handle file, FileIdentity& identity) {
  const standin::OpenHandle* open = standin::Find(file);
  if (open == nullptr) return 6;  // ERROR_INVALID_HANDLE
  Log("GetFileIdentity " + Narrow(open->path));
  identity = {1, gState.files.at(open->path).fileIndex};
  return 0;
}

std::uint32_t GetHandleReparseTag(Handle file, std::uint32_t& reparseTag) {
  const standin::OpenHandle* open = standin::Find(file);
  if (open == nullptr) return 6;  // ERROR_INVALID_HANDLE
  Log("FileAttributeTagInfo " + Narrow(open->path));
  if (gState.tagClassError != 0) return gState.tagClassError;
  reparseTag = gState.files.at(open->path).reparseTag;
  return 0;
}

std::uint32_t ListFolder(Handle folder, std::vector<DirectoryEntry>& entries) {
  return standin::List(folder, "ListFolder ", &standin::Node::listError, entries);
}

std::uint32_t ListFolderWithoutIds(Handle folder, std::vector<DirectoryEntry>& entries) {
  return standin::List(folder, "NtQueryDirectoryFile ", &standin::Node::listWithoutIdsError, entries);
}

namespace {

std::uint32_t Mark(Handle file, bool posix, bool ignoreReadOnly) {
  standin::OpenHandle* open = standin::Find(file);
  if (open == nullptr) return 6;  // ERROR_INVALID_HANDLE
  Log("MarkForDeletion " + Narrow(open->path) + (posix ? ignoreReadOnly ? " (posix, ignore read-only)" : " (posix)" : ""));
  const standin::Node& node = gState.files.at(open->path);
  const std::uint32_t posixError = node.posixDeleteError != 0 ? node.posixDeleteError : gState.posixDeleteError;
  if (posix && posixError != 0) return posixError;
  if (ignoreReadOnly && gState.ignoreReadOnlyError != 0) return gState.ignoreReadOnlyError;
  open->posix = posix;
  if (node.deleteError != 0) return node.deleteError;
  if (node.readOnly && !ignoreReadOnly) return kErrorAccessDenied;
  // What lies under a link belongs to its target; the link itself goes whatever it points to.
  if (!standin::IsLink(node) && standin::HasChildren(open->path)) return 145;  // ERROR_DIR_NOT_EMPTY
  open->marked = true;
  return 0;
}

}  // namespace

std::uint32_t MarkForPosixDeletion(Handle file, bool ignoreReadOnly) { return Mark(file, true, ignoreReadOnly); }
std::uint32_t MarkForDeletion(Handle file) { return Mark(file, false, false); }

void RestrictDllSearch() { Log("RestrictDllSearch"); }

std::int32_t DeleteRegistryKey(RegistryRoot root, const std::string& subkey) {
  const std::string key = standin::RootName(root) + "\\" + subkey;
  Log("RegDeleteKeyA " + key);
  return standin::RegistryStatus(key);
}

std::int32_t DeleteRegistryValue(RegistryRoot root, const std::string& subkey, const std::string& valueName) {
  const std::string key = standin::RootName(root) + "\\" + subkey + "|" + valueName;
  Log("RegDeleteKeyValueA " + key);
  return standin::RegistryStatus(key);
}

}  // namespace platform
