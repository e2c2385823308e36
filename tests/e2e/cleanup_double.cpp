// A test double for the self-check kit, run by a kit built for the tests that pins its digest
// (e2e-selfcheck-double). It leaves C:\kit\double-ran.txt, so a case can tell that it ran. With
// VELMIRANT_DOUBLE=nothing it does nothing more, as a tool that cleans nothing. Otherwise it moves
// the held file out of the per-user vendor folder, runs the real tool (C:\kit\real-cleanup.exe),
// then deletes one file deep in each neighbour tree and puts an identical copy in its place, as a
// regression that followed a junction would with a user's program restoring what it finds gone.
// The kit must fail and name each.
#include <windows.h>

#include <string>

namespace {

std::wstring Variable(const wchar_t* name) {
  wchar_t value[MAX_PATH];
  const DWORD size = GetEnvironmentVariableW(name, value, MAX_PATH);
  return size > 0 && size < MAX_PATH ? std::wstring(value, size) : std::wstring();
}

// The copy is made before the file goes: a file system that reuses file numbers (Wine's Unix one)
// gives it another.
void Replace(const std::wstring& path) {
  const std::wstring copy = path + L".copy";
  if (CopyFileW(path.c_str(), copy.c_str(), TRUE) && DeleteFileW(path.c_str())) MoveFileW(copy.c_str(), path.c_str());
}

}  // namespace

int wmain() {
  CloseHandle(CreateFileW(L"C:\\kit\\double-ran.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  if (Variable(L"VELMIRANT_DOUBLE") == L"nothing") return 0;
  const std::wstring appData = Variable(L"APPDATA"), programs = Variable(L"ProgramFiles(x86)");
  MoveFileW((appData + L"\\Velmirant\\scanned\\held.dat").c_str(), (appData + L"\\moved-held.dat").c_str());
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process = {};
  const std::wstring tool = L"C:\\kit\\real-cleanup.exe";
  if (!CreateProcessW(tool.c_str(), nullptr, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) return 3;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 3;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  for (const std::wstring& folder : {appData, programs}) {
    if (!folder.empty()) Replace(folder + L"\\velmirant-selfcheck-neighbour\\cache\\deep\\deeper\\more.bin");
  }
  return static_cast<int>(code);
}
