// Programs the kit starts: the tool, its own copies as stand-ins, and the probes. Each inherits no
// handle but the one meant for it.
#include "selfcheck.h"

namespace {

constexpr DWORD kStandInLifetimeMs = 15 * 60 * 1000;

// One argument as the C runtime splits a command line: quoted, backslashes before a quote doubled.
void AppendArgument(std::wstring& line, const std::wstring& argument) {
  line += line.empty() ? L"\"" : L" \"";
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    line += c;
    backslashes = 0;
  }
  line.append(2 * backslashes, L'\\');
  line += L'"';
}

// A proc-thread attribute list naming the only handle a child inherits.
class InheritedHandleList {
 public:
  explicit InheritedHandleList(HANDLE handle) : handles_{handle} {
    if (handle == nullptr) return;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    buffer_.resize(size);
    list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
    if (!InitializeProcThreadAttributeList(list_, 1, 0, &size)) {
      list_ = nullptr;
    } else if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_, sizeof handles_, nullptr,
                                          nullptr)) {
      DeleteProcThreadAttributeList(list_);
      list_ = nullptr;
    }
  }
  ~InheritedHandleList() {
    if (list_ != nullptr) DeleteProcThreadAttributeList(list_);
  }
  InheritedHandleList(const InheritedHandleList&) = delete;
  InheritedHandleList& operator=(const InheritedHandleList&) = delete;
  LPPROC_THREAD_ATTRIBUTE_LIST Get() const { return list_; }

 private:
  HANDLE handles_[1];
  std::vector<unsigned char> buffer_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// The lock file a stand-in holds without sharing. The kit's own look at it (IsHeld) shares nothing
// for a moment, so an open that meets that look is tried again.
HANDLE OpenLock(const std::wstring& lock) {
  for (int attempt = 0;; ++attempt) {
    const HANDLE file = CreateFileW(lock.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION || attempt == 200) return file;
    Sleep(10);
  }
}

bool ReportShowsMarks(const std::wstring& report) {
  std::string bytes;
  return ReadWholeFile(report, bytes) && (bytes.compare(0, 1, "!") == 0 || bytes.find("\n!") != std::string::npos);
}

bool StartStandIn(Kit& kit, Run& run, const wchar_t* name, std::vector<std::wstring> arguments) {
  const std::wstring path = StandInPath(kit, name);
  std::wstring why;
  // The lock file is made here, so that the stand-in needs only to read it: nothing in the work
  // area is its to write.
  if (InstallProgram(kit, path, kit.selfImage, why)) {
    if (!WriteWholeFile(LockOf(kit, name), std::string(), CREATE_ALWAYS)) why = Failed(L"making its lock file");
  }
  if (why.empty()) {
    KernelHandle process(StartProgram(run.token, path, arguments, nullptr, why));
    if (process.Valid() && WaitUntilHeld(LockOf(kit, name), true, 30 * 1000)) return true;
    if (process.Valid()) why = L"it did not start to hold its lock file";
  }
  Problem(kit, run, L"the stand-in " + std::wstring(name) + L" did not start: " + why);
  return false;
}

}  // namespace

HANDLE StartProgram(HANDLE token, const std::wstring& program, const std::vector<std::wstring>& arguments, HANDLE out,
                    std::wstring& why) {
  std::wstring line;
  AppendArgument(line, program);
  for (const std::wstring& argument : arguments) AppendArgument(line, argument);
  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdOutput = out;
  DWORD flags = CREATE_NO_WINDOW;
  InheritedHandleList inherited(out);
  if (out != nullptr) {
    if (inherited.Get() == nullptr) {
      why = Failed(L"UpdateProcThreadAttribute");
      return nullptr;
    }
    startup.lpAttributeList = inherited.Get();
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  PROCESS_INFORMATION process = {};
  const BOOL inherit = out != nullptr;
  // Each program starts in its own folder, the work area, not in wherever the kit was started.
  const std::wstring folder = program.substr(0, program.find_last_of(L'\\'));
  const BOOL started =
      token != nullptr ? CreateProcessAsUserW(token, program.c_str(), &line[0], nullptr, nullptr, inherit, flags, nullptr,
                                              folder.c_str(), &startup.StartupInfo, &process)
                       : CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, inherit, flags, nullptr,
                                        folder.c_str(), &startup.StartupInfo, &process);
  if (!started) {
    why = Failed(token != nullptr ? L"CreateProcessAsUserW" : L"CreateProcessW");
    return nullptr;
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

DWORD RunProgram(HANDLE token, const std::wstring& program, const std::vector<std::wstring>& arguments, DWORD failed,
                 std::wstring& why) {
  KernelHandle process(StartProgram(token, program, arguments, nullptr, why));
  DWORD code = failed;
  if (process.Valid() && WaitForSingleObject(process.Get(), kToolTimeoutMs) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process.Get(), &code);
  } else if (process.Valid()) {
    TerminateProcess(process.Get(), failed);
    why = program + L" did not end within two minutes";
  }
  return code;
}

// Whether another process holds path open without sharing: an open that shares nothing fails.
bool IsHeld(const std::wstring& path) {
  FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  return !file.Valid() && GetLastError() == ERROR_SHARING_VIOLATION;
}

bool WaitUntilHeld(const std::wstring& path, bool held, DWORD timeoutMs) {
  for (DWORD waited = 0;; waited += kPollMs) {
    if (IsHeld(path) == held) return true;
    if (waited >= timeoutMs) return false;
    Sleep(kPollMs);
  }
}

bool InstallProgram(Kit& kit, const std::wstring& path, const std::string& image, std::wstring& why) {
  if (Exists(path)) return true;
  if (!Remember(kit, MadeKind::kProgram, path)) {
    why = L"cannot write the record " + kit.record;
    return false;
  }
  if (!WriteWholeFile(path, image, CREATE_NEW)) {
    why = Failed(L"writing") + L" " + path;
    return false;
  }
  return true;
}

DWORD RunKitCopy(Kit& kit, HANDLE token, const std::vector<std::wstring>& arguments, std::wstring& why) {
  const std::wstring copy = kit.places.work + L"\\" + kKitCopy;
  return InstallProgram(kit, copy, kit.selfImage, why) ? RunProgram(token, copy, arguments, 255, why) : 255;
}

std::wstring StandInPath(const Kit& kit, const wchar_t* name) { return kit.places.work + L"\\" + name; }

std::wstring LockOf(const Kit& kit, const wchar_t* name) { return StandInPath(kit, name) + L".lock"; }

bool StartStandIns(Kit& kit, Run& run, const Places& places) {
  for (const wchar_t* name : kTargetStandIns) {
    if (!StartStandIn(kit, run, name, {L"--hold", LockOf(kit, name), kit.stop})) return false;
  }
  return StartStandIn(kit, run, kNeighbourStandIn, {L"--hold", LockOf(kit, kNeighbourStandIn), kit.stop}) &&
         StartStandIn(kit, run, kScanner,
                      {L"--scan", places.vendorUser + L"\\" + kHeldFile, LockOf(kit, kScanner), run.report, kit.stop});
}

int Hold(const std::wstring& lock, const std::wstring& stop) {
  FileHandle file(OpenLock(lock));
  if (!file.Valid()) return 3;
  for (DWORD waited = 0; waited < kStandInLifetimeMs && !Exists(stop); waited += 100) Sleep(100);
  return 0;
}

int Scan(const std::wstring& path, const std::wstring& lock, const std::wstring& report, const std::wstring& stop) {
  FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.Valid()) return 3;
  FileHandle held(OpenLock(lock));
  if (!held.Valid()) return 3;
  for (DWORD waited = 0; waited < kStandInLifetimeMs; waited += 20) {
    FILE_STANDARD_INFO info = {};
    if (GetFileInformationByHandleEx(file.Get(), FileStandardInfo, &info, sizeof info) && info.DeletePending) break;
    // With POSIX deletion the name has left already; where the system tells neither (Wine), the
    // tool's first failed attempt does.
    if (!Exists(path) || ReportShowsMarks(report) || Exists(stop)) break;
    Sleep(20);
  }
  return 0;
}

int Probe(const std::wstring& file, const std::wstring& key) {
  int refused = 0;
  if (file != L"-" && !DeleteFileW(file.c_str())) refused |= 1;
  if (key != L"-") {
    Key opened;
    LONG result = OpenKey(key, KEY_SET_VALUE, opened);
    if (result == ERROR_SUCCESS) {
      const std::wstring data = kProbeData;
      result = RegSetValueExW(opened.value, kProbeValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                              static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
      RegDeleteValueW(opened.value, kProbeValue);
    }
    if (result != ERROR_SUCCESS) refused |= 2;
  }
  return refused;
}
