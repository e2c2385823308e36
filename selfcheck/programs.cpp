// Programs the kit starts: the tool, its own copies as stand-ins, the proof and the probes. Each is
// a copy the kit has just written into its work folder and holds, checked before it starts, and
// inherits no handle but the one meant for it.
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

}  // namespace

namespace {

// `security`, where not empty, is the process's security descriptor.
HANDLE StartProgram(HANDLE token, const std::wstring& program, const std::vector<std::wstring>& arguments, HANDLE out,
                    std::vector<unsigned char>& security, std::wstring& why) {
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
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, security.data(), FALSE};
  SECURITY_ATTRIBUTES* processAttributes = security.empty() ? nullptr : &attributes;
  const BOOL inherit = out != nullptr;
  // Each program starts in the system folder, not wherever the kit was started, nor in the work
  // folder, which only the kit holds.
  wchar_t system[MAX_PATH + 1];
  const UINT length = GetSystemDirectoryW(system, MAX_PATH + 1);
  const std::wstring folder = length > 0 && length <= MAX_PATH ? std::wstring(system, length) : std::wstring(L"\\");
  const BOOL started =
      token != nullptr ? CreateProcessAsUserW(token, program.c_str(), &line[0], processAttributes, nullptr, inherit, flags,
                                              nullptr, folder.c_str(), &startup.StartupInfo, &process)
                       : CreateProcessW(program.c_str(), &line[0], processAttributes, nullptr, inherit, flags, nullptr,
                                        folder.c_str(), &startup.StartupInfo, &process);
  if (!started) {
    why = Failed(token != nullptr ? L"CreateProcessAsUserW" : L"CreateProcessW");
    return nullptr;
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

}  // namespace

bool InstallProgram(Kit& kit, const std::wstring& path, const std::string& image, const std::string& digest,
                    FileHandle& copy, std::wstring& why) {
  if (!RemoveFile(path, why)) {
    why = path + L" is there and cannot be removed: " + why;
    return false;
  }
  if (!Remember(kit, MadeKind::kProgram, path)) {
    why = L"cannot write the record " + kit.record;
    return false;
  }
  // CREATE_NEW: a file put there since (or a link) makes it fail, and is never written to.
  FileHandle made(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  DWORD written = 0;
  if (!made.Valid() || !WriteFile(made.Get(), image.data(), static_cast<DWORD>(image.size()), &written, nullptr) ||
      written != image.size()) {
    why = Failed(L"writing") + L" " + path;
    return false;
  }
  made.Reset();
  // What starts is what is held now: nobody may write to it, rename or delete it until it runs.
  copy = FileHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  std::string bytes;
  if (!copy.Valid() || !IsEntryItself(copy.Get(), path, false, why) || !ReadHandle(copy.Get(), bytes)) {
    if (why.empty()) why = Failed(L"reading back") + L" " + path;
    return false;
  }
  if (HexOf(AuthenticodeDigest(bytes)) != digest) {
    why = path + L" is not the copy the self-check wrote: another file took its place";
    return false;
  }
  return true;
}

HANDLE StartCopy(Kit& kit, HANDLE token, const std::wstring& name, bool tool, const std::vector<std::wstring>& arguments,
                 HANDLE out, std::wstring& why) {
  const std::wstring path = kit.places.work + L"\\" + name;
  std::vector<unsigned char> security;
  FileHandle copy;
  // A stand-in the tool must end as the user; nothing else the made token runs may be opened by the user.
  if (!tool && name != kKitCopy && token != nullptr && !StandInSecurity(kit, security)) {
    why = Failed(L"building the stand-in's security");
    return nullptr;
  }
  if (!InstallProgram(kit, path, tool ? kit.toolImage : kit.selfImage, tool ? kit.toolDigest : kit.selfDigest,
                      copy, why)) {
    return nullptr;
  }
  return StartProgram(token, path, arguments, out, security, why);
}

DWORD RunKitCopy(Kit& kit, HANDLE token, const std::vector<std::wstring>& arguments, std::wstring& why) {
  KernelHandle process(StartCopy(kit, token, kKitCopy, false, arguments, nullptr, why));
  DWORD code = 255;
  if (process.Valid() && WaitForSingleObject(process.Get(), kToolTimeoutMs) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process.Get(), &code);
  } else if (process.Valid()) {
    TerminateProcess(process.Get(), 255);
    why = L"it did not end within two minutes";
  }
  return code;
}

std::wstring StandInPath(const Kit& kit, const wchar_t* name) { return kit.places.work + L"\\" + name; }

bool StartStandIns(Kit& kit, Run& run) {
  std::vector<const wchar_t*> names(std::begin(kTargetStandIns), std::end(kTargetStandIns));
  names.push_back(kNeighbourStandIn);
  for (const wchar_t* name : names) {
    std::wstring why;
    run.standIns.push_back({name, KernelHandle(StartCopy(kit, run.token, name, false, {L"--hold", kit.stop}, nullptr, why))});
    if (!run.standIns.back().process.Valid()) {
      Problem(kit, run, L"the stand-in " + std::wstring(name) + L" did not start: " + why);
      return false;
    }
  }
  return true;
}

int Hold(const std::wstring& stop) {
  for (DWORD waited = 0; waited < kStandInLifetimeMs && !Exists(stop); waited += 100) Sleep(100);
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
