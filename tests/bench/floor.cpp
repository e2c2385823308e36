// The benchmark's floor: only the platform calls a clean-up run with nothing to clean cannot
// avoid. The process snapshot walk, the two known-folder lookups with an attribute check of each
// joined path, and twelve registry deletions of absent entries, without any report.
#include <windows.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <initializer_list>


namespace {

constexpr GUID kRoamingAppData = {0x3EB685DB, 0x65F9, 0x4CF6, {0xA0, 0x3A, 0xE3, 0xEF, 0x65, 0x72, 0x9F, 0x3D}};
constexpr GUID kProgramFilesX86 = {0x7C5A40EF, 0xA0FB, 0x4BFC, {0x87, 0x4A, 0xC0, 0xF2, 0xE0, 0xB9, 0xFA, 0x8E}};

constexpr const char* kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const char* kApprovedKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run";

}  // namespace

int main() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot != INVALID_HANDLE_VALUE) {
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    }
    CloseHandle(snapshot);
  }
  for (const GUID* folder : {&kRoamingAppData, &kProgramFilesX86}) {
    PWSTR base = nullptr;
    if (SUCCEEDED(SHGetKnownFolderPath(*folder, 0, nullptr, &base))) {
      wchar_t path[MAX_PATH * 4];
      lstrcpynW(path, base, MAX_PATH * 3);
      lstrcatW(path, L"\\Velmirant");
      GetFileAttributesW(path);
    }
    CoTaskMemFree(base);
  }
  // Absent values in existing keys, and absent keys, as a run with nothing to clean meets them.
  for (const char* key : {kRunKey, kRunKey, kApprovedKey, kApprovedKey}) {
    RegDeleteKeyValueA(HKEY_CURRENT_USER, key, "absent.value");
  }
  char key[] = "Software\\AbsentVendor\\key0";
  for (int i = 0; i < 7; ++i) {
    key[sizeof key - 2] = static_cast<char>('0' + i);
    RegDeleteKeyA(HKEY_CURRENT_USER, key);
  }
  RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Run",
                     "absent.value");
  return 0;
}
