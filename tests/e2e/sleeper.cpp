// A stand-in for a vendor program in the end-to-end tests: it is copied to a target or
// neighbour name, started, and sleeps until it is ended. With a path argument it first creates
// that file, so a test knows it is running; with "hold" and a file it also keeps that file open
// without delete sharing, as a program using it would; with "hold-shared" it shares delete access,
// as a scanner or an indexer does. With "list" it prints the names of the
// running processes in UTF-8, one per line, as the process snapshot gives them, and exits.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && lstrcmpW(argv[1], L"list") == 0) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 4;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL found = Process32FirstW(snapshot, &entry); found; found = Process32NextW(snapshot, &entry)) {
      char name[4 * MAX_PATH];  // as UTF-8, so that names outside the code page survive
      const int size = WideCharToMultiByte(CP_UTF8, 0, entry.szExeFile, -1, name, sizeof name, nullptr, nullptr);
      if (size > 0) std::printf("%s\n", name);
    }
    CloseHandle(snapshot);
    return 0;
  }
  const bool shared = argc >= 4 && lstrcmpW(argv[2], L"hold-shared") == 0;
  if (argc >= 4 && (shared || lstrcmpW(argv[2], L"hold") == 0)) {
    const DWORD sharing = FILE_SHARE_READ | (shared ? FILE_SHARE_DELETE : 0);
    HANDLE held = CreateFileW(argv[3], GENERIC_READ, sharing, nullptr, OPEN_EXISTING, 0, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 2;
  }
  if (argc >= 2) {
    HANDLE ready = CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (ready == INVALID_HANDLE_VALUE) return 3;
    CloseHandle(ready);
  }
  ::Sleep(INFINITE);
  return 0;
}
