// The platform layer over the real Windows services: the loader, the report output, processes,
// known folders and the registry (the file-system calls are in win32_files.cpp). kernel32 and
// advapi32 are imported; shell32 and ole32 are loaded from the system folder at run time.
#include <windows.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <cstddef>
#include <cstdio>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/win32_module.h"

#if !defined(_WIN64)
// The process walk hands this record to the system with its size; a 32-bit system expects 556.
static_assert(sizeof(PROCESSENTRY32W) == 556, "PROCESSENTRY32W must be 556 bytes in the 32-bit build");
#endif

namespace platform {

namespace {

// FOLDERID_RoamingAppData, FOLDERID_ProgramFilesX86 and FOLDERID_ProgramData (the self-check's),
// spelled out so no GUID library is linked.
constexpr GUID kFolderIds[] = {
    {0x3EB685DB, 0x65F9, 0x4CF6, {0xA0, 0x3A, 0xE3, 0xEF, 0x65, 0x72, 0x9F, 0x3D}},
    {0x7C5A40EF, 0xA0FB, 0x4BFC, {0x87, 0x4A, 0xC0, 0xF2, 0xE0, 0xB9, 0xFA, 0x8E}},
    {0x62AB5D82, 0xFDC1, 0x4DC3, {0xA9, 0xDD, 0x07, 0x0D, 0x1D, 0x49, 0x5D, 0x97}},
};

bool ReadProcessRecord(BOOL found, const PROCESSENTRY32W& entry, ProcessRecord& record) {
  if (!found) return false;
  record.exeFile = entry.szExeFile;
  record.processId = entry.th32ProcessID;
  return true;
}

HKEY RootKey(RegistryRoot root) {
  return root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

// Whether SetDefaultDllDirectories took effect: Vista, and 7 without update KB2533623, lack it.
bool gSystemSearchOnly = false;

// Where SetDefaultDllDirectories is missing, a DLL that shell32 or ole32 (or advapi32) load by name
// later is still looked for in the tool's folder first, unless it is a Known DLL or loaded already.
// These are loaded from the system folder by full path first, so that a later load by name finds
// them in the process. The list is the one 7-Zip's console programs preload for their own calls;
// which DLLs SHGetKnownFolderPath and CoTaskMemFree load on Vista and 7 has not been traced.
constexpr const wchar_t* kPreloadedSystemDlls[] = {
    L"userenv.dll", L"setupapi.dll", L"apphelp.dll", L"propsys.dll", L"dwmapi.dll",
    L"cryptbase.dll", L"oleacc.dll", L"clbcatq.dll", L"version.dll",
};

}  // namespace

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

namespace {

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
  return shell.getKnownFolderPath(kFolderIds[static_cast<int>(folder)], 0, nullptr, path.Receive());
}

void Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

std::int32_t DeleteRegistryKey(RegistryRoot root, const std::string& subkey) {
  return static_cast<std::int32_t>(RegDeleteKeyA(RootKey(root), subkey.c_str()));
}

std::int32_t DeleteRegistryValue(RegistryRoot root, const std::string& subkey, const std::string& valueName) {
  return static_cast<std::int32_t>(RegDeleteKeyValueA(RootKey(root), subkey.c_str(), valueName.c_str()));
}

}  // namespace platform
