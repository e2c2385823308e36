// A test double for the self-check kit: it runs the real tool (real-cleanup.exe beside it), then
// deletes one file deep in the per-user neighbour tree, as a regression that followed a junction
// into the neighbour would. The kit must fail and name that file.
#include <windows.h>

#include <string>

int wmain() {
  wchar_t self[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 3;
  std::wstring tool(self, length);
  tool.replace(tool.find_last_of(L'\\') + 1, std::wstring::npos, L"real-cleanup.exe");
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(tool.c_str(), nullptr, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) return 3;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 3;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  wchar_t appData[MAX_PATH];
  const DWORD size = GetEnvironmentVariableW(L"APPDATA", appData, MAX_PATH);
  if (size == 0 || size >= MAX_PATH) return 3;
  DeleteFileW((std::wstring(appData, size) + L"\\velmirant-selfcheck-neighbour\\cache\\deep\\deeper\\more.bin").c_str());
  return static_cast<int>(code);
}
