// A stand-in for a vendor program in the end-to-end tests: it is copied to a target or
// neighbour name, started, and sleeps until it is ended. With a path argument it first creates
// that file, so a test knows it is running; with "hold" and a file it also keeps that file open
// without delete sharing, as a program using it would.
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc >= 4 && lstrcmpW(argv[2], L"hold") == 0) {
    HANDLE held = CreateFileW(argv[3], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
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
