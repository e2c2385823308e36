// A test double for the self-check kit: it runs the real tool (C:\kit\real-cleanup.exe: the kit runs
// its copy of the double from its work area), then deletes one file deep in the per-user neighbour
// tree, as a regression that followed a junction into the neighbour would. The kit must fail and
// name that file.
#include <windows.h>

#include <string>

int wmain() {
  const std::wstring tool = L"C:\\kit\\real-cleanup.exe";
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
