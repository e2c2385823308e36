// A test double for the self-check kit, run by a kit built for the tests that pins its digest
// (e2e-selfcheck-double). It leaves C:\kit\double-ran.txt, so a case can tell that it ran. With
// VELMIRANT_DOUBLE=nothing it cleans nothing: it only writes a report line with control
// characters, ends vexpp.exe with exit code 0 (not the tool's 1), and tries to open the kit's work
// folder it runs from as one that would rename or delete it (which the kit's hold refuses; where it
// can, it leaves C:\kit\work-renamed.txt). Otherwise it moves
// the held file out of the per-user vendor folder, runs the real tool (C:\kit\real-cleanup.exe),
// then deletes one file deep in each neighbour tree and puts an identical copy in its place, as a
// regression that followed a junction would with a user's program restoring what it finds gone.
// The kit must fail and name each.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
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
  if (Variable(L"VELMIRANT_DOUBLE") == L"nothing") {
    std::printf("vexdesktop-neighbour.exe: TerminateProcess() OK\x1b[2K\n");
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL found = Process32FirstW(snapshot, &entry); found; found = Process32NextW(snapshot, &entry)) {
      if (lstrcmpiW(entry.szExeFile, L"vexpp.exe") != 0) continue;
      HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
      TerminateProcess(process, 0);
      CloseHandle(process);
    }
    CloseHandle(snapshot);
    wchar_t self[MAX_PATH];
    const DWORD size = GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring work = std::wstring(self, size).substr(0, std::wstring(self, size).find_last_of(L'\\'));
    HANDLE folder = CreateFileW(work.c_str(), DELETE | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder != INVALID_HANDLE_VALUE) {
      CloseHandle(folder);
      CloseHandle(CreateFileW(L"C:\\kit\\work-renamed.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    }
    return 0;
  }
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
