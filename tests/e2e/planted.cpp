// A DLL planted beside the tool under the name of a system DLL. Whenever it is loaded it leaves
// a marker file beside itself (NAME.dll.loaded), so a test sees that it ran.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t path[MAX_PATH + 8];
  const DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return TRUE;
  lstrcatW(path, L".loaded");
  const HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
  return TRUE;
}

// For rundll32, which the test uses to show that a marker does appear when the DLL is loaded.
extern "C" __declspec(dllexport) void CALLBACK Touch(HWND, HINSTANCE, LPSTR, int) {}
