// The self-check's helper: what a command script on every Windows from Vista on (and under Wine's
// cmd) cannot do by itself. Copied under the vendor's program names it is the stand-in the tool
// must end; beside that it waits, reads the report's lines and tells whether it runs elevated.
//
//   hold FILE    creates FILE and keeps it open without sharing, until FILE.stop appears (or 15
//                minutes pass): while the program runs, nobody else can open FILE
//   ready FILE   waits up to 30 s until FILE is held that way; exit code 0 when it is, 1 if not
//   gone FILE    waits up to 10 s until FILE is no longer held (its holder ended); 0 or 1
//   lines FILE   prints every line of FILE as "N:text", empty lines too (cmd's FOR /F skips them)
//   elevated     exit code 0 when this process runs elevated, 1 when not, 2 when it cannot tell
//   regstate KEY [NAME]
//                exit code 0 when the key (HKCU\... or HKLM\...), or its value NAME, exists, 1 when
//                it does not, 2 when the registry gives no answer (reg.exe says 1 for all failures)
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

constexpr DWORD kPollMs = 50;

// Whether another process holds path open without sharing: an open that shares nothing fails.
bool IsHeld(const wchar_t* path) {
  const HANDLE file = CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
    return false;
  }
  return GetLastError() == ERROR_SHARING_VIOLATION;
}

int WaitUntil(const wchar_t* path, bool held, DWORD timeoutMs) {
  for (DWORD waited = 0;; waited += kPollMs) {
    if (IsHeld(path) == held) return 0;
    if (waited >= timeoutMs) return 1;
    Sleep(kPollMs);
  }
}

int Hold(const wchar_t* path) {
  wchar_t stop[MAX_PATH + 8];
  if (lstrlenW(path) >= MAX_PATH) return 3;
  lstrcpyW(stop, path);
  lstrcatW(stop, L".stop");
  const HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 3;
  for (DWORD waited = 0; waited < 15 * 60 * 1000; waited += 100) {
    if (GetFileAttributesW(stop) != INVALID_FILE_ATTRIBUTES) break;
    Sleep(100);
  }
  CloseHandle(file);
  return 0;
}

int Lines(const wchar_t* path) {
  FILE* file = _wfopen(path, L"rb");
  if (file == nullptr) return 3;
  unsigned long number = 1;
  bool atLineStart = true;
  for (int c; (c = std::fgetc(file)) != EOF;) {
    if (atLineStart) std::printf("%lu:", number++);
    atLineStart = c == '\n';
    if (c != '\r' || atLineStart) std::putchar(c);
  }
  if (!atLineStart) std::putchar('\n');
  std::fclose(file);
  return 0;
}

int Elevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return 2;
  TOKEN_ELEVATION elevation = {};
  DWORD size = 0;
  const BOOL known = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
  CloseHandle(token);
  if (!known) return 2;
  return elevation.TokenIsElevated != 0 ? 0 : 1;
}

// Keys are read in the 64-bit view, where a path naming WOW6432Node means the 32-bit branch
// itself; 32-bit Windows ignores the flag.
int RegistryState(const wchar_t* key, const wchar_t* valueName) {
  HKEY root = nullptr;
  if (_wcsnicmp(key, L"HKCU\\", 5) == 0) {
    root = HKEY_CURRENT_USER;
  } else if (_wcsnicmp(key, L"HKLM\\", 5) == 0) {
    root = HKEY_LOCAL_MACHINE;
  } else {
    return 2;
  }
  HKEY opened = nullptr;
  LONG result = RegOpenKeyExW(root, key + 5, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &opened);
  if (result == ERROR_SUCCESS && valueName != nullptr) {
    result = RegQueryValueExW(opened, valueName, nullptr, nullptr, nullptr, nullptr);
  }
  if (opened != nullptr) RegCloseKey(opened);
  if (result == ERROR_SUCCESS) return 0;
  return result == ERROR_FILE_NOT_FOUND ? 1 : 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && lstrcmpW(argv[1], L"elevated") == 0) return Elevated();
  if ((argc == 3 || argc == 4) && lstrcmpW(argv[1], L"regstate") == 0) {
    return RegistryState(argv[2], argc == 4 ? argv[3] : nullptr);
  }
  if (argc != 3) return 2;
  const wchar_t* command = argv[1];
  const wchar_t* path = argv[2];
  if (lstrcmpW(command, L"hold") == 0) return Hold(path);
  if (lstrcmpW(command, L"ready") == 0) return WaitUntil(path, true, 30 * 1000);
  if (lstrcmpW(command, L"gone") == 0) return WaitUntil(path, false, 10 * 1000);
  if (lstrcmpW(command, L"lines") == 0) return Lines(path);
  return 2;
}
