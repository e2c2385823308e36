// The self-check's helper: what a command script on every Windows from Vista on (and under Wine's
// cmd) cannot do by itself. Copied under the vendor's program names it is the stand-in the tool
// must end; beside that it waits, reads the report, runs programs as a standard user, and seeds
// and removes registry entries while keeping a record of what it made.
//
//   hold FILE    creates FILE and keeps it open without sharing, until FILE.stop appears (or 15
//                minutes pass): while the program runs, nobody else can open FILE
//   scan FILE LOCK REPORT
//                keeps FILE open with delete sharing, as a scanner does, and LOCK open without
//                sharing while it does; lets go as soon as FILE's deletion is pending, its name has
//                gone, REPORT shows a failed attempt ("!") or LOCK.stop appears, or after 15 minutes
//   ready FILE   waits up to 30 s until FILE is held that way; exit code 0 when it is, 1 if not
//   gone FILE    waits up to 10 s until FILE is no longer held (its holder ended); 0 or 1
//   lines FILE   prints every line of FILE as "N:text", empty lines too (cmd's FOR /F skips them)
//   folderline REPORT N VARIABLE
//                compares line N of REPORT, read in the ANSI code page the tool writes, without its
//                leading "!" marks, with the environment variable VARIABLE; prints the number of
//                marks; exit code 0 when they match, 1 when not, 3 when the line cannot be read
//   elevated     exit code 0 when this process runs elevated, 1 when not, 2 when it cannot tell
//   system       exit code 0 when this process runs as LocalSystem, 1 when not
//   asuser probe prints nothing and exits 0 when a program started with a standard user's token
//                made from this one runs not elevated; otherwise prints why not and exits 1
//   asuser run OUT PROGRAM [ARGS...]
//                runs PROGRAM with that token, its standard output to OUT, and returns its exit code
//                (255 when it could not be started)
//   asuser start PROGRAM [ARGS...]
//                the same without waiting
//   regstate KEY [NAME]
//                exit code 0 when the key (HKCU\... or HKLM\...), or its value NAME, exists, 1 when
//                it does not, 2 when the registry gives no answer (reg.exe says 1 for all failures)
//   regseed RECORD KEY [NAME TYPE DATA]
//                creates KEY and the keys above it that are missing, and sets its value NAME ("" is
//                the default value; TYPE sz, dword or binary, DATA as reg.exe takes it); appends
//                to RECORD each key and value that did not exist before. Exit code 0, or 1
//   regunseed RECORD
//                removes, last first, the values RECORD names and the keys it names once they are
//                empty; prints "CLEAN-UP INCOMPLETE: ..." for each that stays. Exit code 0 when
//                nothing stays, 2 otherwise
//   regprobe KEY exit code 0 when a value can be written to KEY (it is removed again), else the
//                registry's code (5 when refused)
//   delprobe FILE
//                exit code 0 when FILE could be deleted, else the code of the refusal
//
// Registry keys are used in the 64-bit view, where a path naming WOW6432Node means the 32-bit
// branch itself; 32-bit Windows ignores the flag.
#include <windows.h>
#include <winsafer.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr DWORD kPollMs = 50;
constexpr DWORD kStandInLifetimeMs = 15 * 60 * 1000;

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
  const std::wstring stop = std::wstring(path) + L".stop";
  const HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 3;
  for (DWORD waited = 0; waited < kStandInLifetimeMs; waited += 100) {
    if (GetFileAttributesW(stop.c_str()) != INVALID_FILE_ATTRIBUTES) break;
    Sleep(100);
  }
  CloseHandle(file);
  return 0;
}

// Whether the report shows a failed removal attempt: a "!" at the start of a line.
bool ReportShowsMarks(const wchar_t* report) {
  FILE* file = _wfopen(report, L"rb");
  if (file == nullptr) return false;
  bool found = false;
  for (int c, previous = '\n'; !found && (c = std::fgetc(file)) != EOF; previous = c) found = c == '!' && previous == '\n';
  std::fclose(file);
  return found;
}

int Scan(const wchar_t* path, const wchar_t* lock, const wchar_t* report) {
  const HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 3;
  const HANDLE held = CreateFileW(lock, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  const std::wstring stop = std::wstring(lock) + L".stop";
  for (DWORD waited = 0; waited < kStandInLifetimeMs; waited += 20) {
    FILE_STANDARD_INFO info = {};
    if (GetFileInformationByHandleEx(file, FileStandardInfo, &info, sizeof info) && info.DeletePending) break;
    // With POSIX deletion the name has left the folder already; where the system tells neither
    // (Wine), the tool's failed attempt does.
    if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES || ReportShowsMarks(report)) break;
    if (GetFileAttributesW(stop.c_str()) != INVALID_FILE_ATTRIBUTES) break;
    Sleep(20);
  }
  CloseHandle(file);
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
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

int FolderLine(const wchar_t* report, const wchar_t* number, const wchar_t* variable) {
  FILE* file = _wfopen(report, L"rb");
  if (file == nullptr) return 3;
  std::string line;
  long wanted = std::wcstol(number, nullptr, 10), current = 1;
  for (int c; current <= wanted && (c = std::fgetc(file)) != EOF;) {
    if (c == '\n') {
      ++current;
    } else if (current == wanted && c != '\r') {
      line += static_cast<char>(c);
    }
  }
  std::fclose(file);
  if (current < wanted) return 3;
  std::size_t marks = 0;
  while (marks < line.size() && line[marks] == '!') ++marks;
  std::printf("%u\n", static_cast<unsigned>(marks));
  const int size = MultiByteToWideChar(CP_ACP, 0, line.data() + marks, static_cast<int>(line.size() - marks), nullptr, 0);
  std::wstring text(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0) MultiByteToWideChar(CP_ACP, 0, line.data() + marks, static_cast<int>(line.size() - marks), &text[0], size);
  wchar_t expected[4096];
  const DWORD length = GetEnvironmentVariableW(variable, expected, 4096);
  if (length == 0 || length >= 4096) return 1;
  return text == std::wstring(expected, length) ? 0 : 1;
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

int System() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return 1;
  union {
    TOKEN_USER user;
    unsigned char bytes[256];
  } buffer;
  DWORD size = 0;
  const bool known = GetTokenInformation(token, TokenUser, &buffer, sizeof buffer, &size) != FALSE;
  CloseHandle(token);
  return known && IsWellKnownSid(buffer.user.User.Sid, WinLocalSystemSid) ? 0 : 1;
}

// ---- A standard user's token ------------------------------------------------------------------

// The token `runas /trustlevel:0x20000` uses: the Safer "normal user" level computed from this
// process's token (administrators' group for deny only, administrative privileges removed), at
// medium integrity, where a standard user's programs run. Null, with the reason, where it cannot
// be made.
// Where Safer gives none, a restricted LUA token (CreateRestrictedToken) of the same kind.
HANDLE MakeStandardUserToken(std::wstring& why) {
  HANDLE token = nullptr;
  SAFER_LEVEL_HANDLE level = nullptr;
  if (SaferCreateLevel(SAFER_SCOPEID_USER, SAFER_LEVELID_NORMALUSER, SAFER_LEVEL_OPEN, &level, nullptr)) {
    if (!SaferComputeTokenFromLevel(level, nullptr, &token, 0, nullptr)) token = nullptr;
    SaferCloseLevel(level);
  }
  // Wine answers Safer with a handle that is no token.
  TOKEN_TYPE type = TokenImpersonation;
  DWORD size = 0;
  if (token != nullptr && !GetTokenInformation(token, TokenType, &type, sizeof type, &size)) token = nullptr;
  if (token == nullptr) {
    HANDLE own = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY | TOKEN_ADJUST_DEFAULT,
                          &own)) {
      why = L"OpenProcessToken failed with " + std::to_wstring(GetLastError());
      return nullptr;
    }
    union {
      SID sid;
      unsigned char bytes[SECURITY_MAX_SID_SIZE];
    } administrators;
    DWORD sidSize = sizeof administrators;
    SID_AND_ATTRIBUTES disabled = {&administrators.sid, 0};
    const bool haveSid = CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, &administrators.sid, &sidSize) != FALSE;
    const BOOL made = CreateRestrictedToken(own, DISABLE_MAX_PRIVILEGE | LUA_TOKEN, haveSid ? 1 : 0,
                                            haveSid ? &disabled : nullptr, 0, nullptr, 0, nullptr, &token);
    const DWORD error = GetLastError();
    CloseHandle(own);
    if (!made) {
      why = L"neither Safer nor CreateRestrictedToken gave a token (" + std::to_wstring(error) + L")";
      return nullptr;
    }
  }
  SID_IDENTIFIER_AUTHORITY labels = SECURITY_MANDATORY_LABEL_AUTHORITY;
  PSID medium = nullptr;
  if (AllocateAndInitializeSid(&labels, 1, SECURITY_MANDATORY_MEDIUM_RID, 0, 0, 0, 0, 0, 0, 0, &medium)) {
    TOKEN_MANDATORY_LABEL label = {};
    label.Label.Attributes = SE_GROUP_INTEGRITY;
    label.Label.Sid = medium;
    SetTokenInformation(token, TokenIntegrityLevel, &label, sizeof label + GetLengthSid(medium));
    FreeSid(medium);
  }
  return token;
}

// One argument as the C runtime splits a command line again: quoted, with the backslashes before
// a quote doubled.
void AppendArgument(std::wstring& line, const wchar_t* argument) {
  line += L'"';
  std::size_t backslashes = 0;
  for (const wchar_t* c = argument;; ++c) {
    if (*c == L'\\') {
      ++backslashes;
    } else if (*c == L'\0') {
      line.append(2 * backslashes, L'\\');  // before the closing quote
      break;
    } else {
      line.append(*c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
      line += *c;
      backslashes = 0;
    }
  }
  line += L'"';
}

// Starts PROGRAM ARGS with the standard user's token; its output goes to `out` where given.
// Returns the process handle, or null with the reason.
HANDLE StartAsStandardUser(wchar_t** argv, int count, HANDLE out, std::wstring& why) {
  const HANDLE token = MakeStandardUserToken(why);
  if (token == nullptr) return nullptr;
  std::wstring line;
  for (int i = 0; i < count; ++i) {
    if (i > 0) line += L' ';
    AppendArgument(line, argv[i]);
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  if (out != nullptr) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  }
  PROCESS_INFORMATION process = {};
  const BOOL started = CreateProcessAsUserW(token, argv[0], &line[0], nullptr, nullptr, out != nullptr, 0, nullptr,
                                            nullptr, &startup, &process);
  const DWORD error = GetLastError();
  CloseHandle(token);
  if (!started) {
    why = L"CreateProcessAsUserW failed with " + std::to_wstring(error);
    return nullptr;
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

int AsUser(int argc, wchar_t** argv) {
  std::wstring why;
  const std::wstring mode = argv[2];
  if (mode == L"probe" && argc == 3) {
    // The proof is the child's own word: a copy of this program asked whether it runs elevated.
    wchar_t self[MAX_PATH];
    if (GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) return 1;
    wchar_t* child[] = {self, const_cast<wchar_t*>(L"elevated")};
    const HANDLE process = StartAsStandardUser(child, 2, nullptr, why);
    if (process == nullptr) {
      std::printf("%ls\n", why.c_str());
      return 1;
    }
    WaitForSingleObject(process, INFINITE);
    DWORD code = 2;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    if (code == 1) return 0;
    std::printf("%ls\n", code == 0 ? L"the token made from this one still runs elevated"
                                   : L"a program started with it cannot tell whether it runs elevated");
    return 1;
  }
  if (mode == L"start" && argc >= 4) {
    const HANDLE process = StartAsStandardUser(argv + 3, argc - 3, nullptr, why);
    if (process == nullptr) return 255;
    CloseHandle(process);
    return 0;
  }
  if (mode == L"run" && argc >= 5) {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    const HANDLE out = CreateFileW(argv[3], GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) return 255;
    const HANDLE process = StartAsStandardUser(argv + 4, argc - 4, out, why);
    CloseHandle(out);
    if (process == nullptr) return 255;
    WaitForSingleObject(process, INFINITE);
    DWORD code = 255;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return static_cast<int>(code);
  }
  return 2;
}

// ---- Registry -----------------------------------------------------------------------------------

// HKCU\... or HKLM\...: the root, and the rest in `subkey`; null for anything else.
HKEY SplitKey(const std::wstring& key, std::wstring& subkey) {
  HKEY root = nullptr;
  if (_wcsnicmp(key.c_str(), L"HKCU\\", 5) == 0) root = HKEY_CURRENT_USER;
  if (_wcsnicmp(key.c_str(), L"HKLM\\", 5) == 0) root = HKEY_LOCAL_MACHINE;
  if (root != nullptr) subkey = key.substr(5);
  return root;
}

LONG OpenKey(const std::wstring& key, REGSAM access, HKEY& opened) {
  std::wstring subkey;
  const HKEY root = SplitKey(key, subkey);
  if (root == nullptr) return ERROR_INVALID_PARAMETER;
  return RegOpenKeyExW(root, subkey.c_str(), 0, access | KEY_WOW64_64KEY, &opened);
}

int RegistryState(const wchar_t* key, const wchar_t* valueName) {
  HKEY opened = nullptr;
  LONG result = OpenKey(key, KEY_QUERY_VALUE, opened);
  if (result == ERROR_INVALID_PARAMETER) return 2;
  if (result == ERROR_SUCCESS && valueName != nullptr) {
    result = RegQueryValueExW(opened, valueName, nullptr, nullptr, nullptr, nullptr);
  }
  if (opened != nullptr) RegCloseKey(opened);
  if (result == ERROR_SUCCESS) return 0;
  return result == ERROR_FILE_NOT_FOUND ? 1 : 2;
}

void Record(const wchar_t* record, const std::wstring& line) {
  FILE* file = _wfopen(record, L"ab");
  if (file == nullptr) return;
  const std::wstring text = line + L'\n';
  std::fwrite(text.data(), sizeof(wchar_t), text.size(), file);
  std::fclose(file);
}

// Data as reg.exe takes it: text for sz, a decimal number for dword, hex digits for binary.
bool EncodeData(const std::wstring& type, const std::wstring& text, DWORD& regType, std::vector<BYTE>& data) {
  if (type == L"sz") {
    regType = REG_SZ;
    data.assign(reinterpret_cast<const BYTE*>(text.c_str()), reinterpret_cast<const BYTE*>(text.c_str() + text.size() + 1));
    return true;
  }
  if (type == L"dword") {
    regType = REG_DWORD;
    const DWORD value = std::wcstoul(text.c_str(), nullptr, 10);
    data.assign(reinterpret_cast<const BYTE*>(&value), reinterpret_cast<const BYTE*>(&value + 1));
    return true;
  }
  if (type == L"binary" && text.size() % 2 == 0) {
    regType = REG_BINARY;
    for (std::size_t i = 0; i < text.size(); i += 2) {
      data.push_back(static_cast<BYTE>(std::wcstoul(text.substr(i, 2).c_str(), nullptr, 16)));
    }
    return true;
  }
  return false;
}

int RegistrySeed(int argc, wchar_t** argv) {
  const wchar_t* record = argv[2];
  const std::wstring key = argv[3];
  std::wstring subkey;
  const HKEY root = SplitKey(key, subkey);
  if (root == nullptr) return 1;
  // Each missing key on the way, top down, is created and recorded.
  HKEY opened = nullptr;
  for (std::size_t end = 0; end != std::wstring::npos;) {
    end = subkey.find(L'\\', end + 1);
    const std::wstring part = subkey.substr(0, end);
    DWORD disposition = 0;
    if (opened != nullptr) RegCloseKey(opened);
    opened = nullptr;
    if (RegCreateKeyExW(root, part.c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_QUERY_VALUE | KEY_WOW64_64KEY, nullptr,
                        &opened, &disposition) != ERROR_SUCCESS) {
      return 1;
    }
    if (disposition == REG_CREATED_NEW_KEY) Record(record, L"K\t" + key.substr(0, 5) + part);
  }
  int result = 0;
  if (argc == 7) {
    DWORD type = 0;
    std::vector<BYTE> data;
    const bool existed = RegQueryValueExW(opened, argv[4], nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    if (!EncodeData(argv[5], argv[6], type, data) ||
        RegSetValueExW(opened, argv[4], 0, type, data.data(), static_cast<DWORD>(data.size())) != ERROR_SUCCESS) {
      result = 1;
    } else if (!existed) {
      Record(record, L"V\t" + key + L"\t" + argv[4]);
    }
  }
  RegCloseKey(opened);
  return result;
}

std::vector<std::wstring> ReadRecord(const wchar_t* record) {
  std::vector<std::wstring> lines;
  FILE* file = _wfopen(record, L"rb");
  if (file == nullptr) return lines;
  std::wstring line;
  for (wchar_t c; std::fread(&c, sizeof c, 1, file) == 1;) {
    if (c != L'\n') {
      line += c;
    } else {
      lines.push_back(line);
      line.clear();
    }
  }
  std::fclose(file);
  return lines;
}

// A key the kit made goes only once it is empty: what it holds then is somebody else's.
LONG DeleteIfEmpty(const std::wstring& key) {
  HKEY opened = nullptr;
  LONG result = OpenKey(key, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS, opened);
  if (result != ERROR_SUCCESS) return result;
  DWORD subkeys = 0, values = 0;
  result = RegQueryInfoKeyW(opened, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                            nullptr, nullptr);
  RegCloseKey(opened);
  if (result != ERROR_SUCCESS) return result;
  if (subkeys != 0 || values != 0) return ERROR_DIR_NOT_EMPTY;
  std::wstring subkey;
  const HKEY root = SplitKey(key, subkey);
  return RegDeleteKeyExW(root, subkey.c_str(), KEY_WOW64_64KEY, 0);
}

int RegistryUnseed(const wchar_t* record) {
  const std::vector<std::wstring> lines = ReadRecord(record);
  int left = 0;
  for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
    const std::size_t tab = line->find(L'\t', 2);
    const std::wstring key = line->substr(2, tab == std::wstring::npos ? std::wstring::npos : tab - 2);
    if ((*line)[0] == L'V') {
      const std::wstring name = line->substr(tab + 1);
      HKEY opened = nullptr;
      if (OpenKey(key, KEY_SET_VALUE, opened) == ERROR_SUCCESS) {
        RegDeleteValueW(opened, name.c_str());
        RegCloseKey(opened);
      }
      if (RegistryState(key.c_str(), name.c_str()) != 1) {
        std::printf("CLEAN-UP INCOMPLETE: the value %ls under %ls is still there\n", name.c_str(), key.c_str());
        ++left;
      }
    } else {
      const LONG result = DeleteIfEmpty(key);
      if (result == ERROR_DIR_NOT_EMPTY) {
        std::printf("CLEAN-UP INCOMPLETE: the key %ls, made by the self-check, holds what it did not make: left\n",
                    key.c_str());
        ++left;
      } else if (RegistryState(key.c_str(), nullptr) != 1) {
        std::printf("CLEAN-UP INCOMPLETE: the key %ls is still there (%ld)\n", key.c_str(), static_cast<long>(result));
        ++left;
      }
    }
  }
  return left == 0 ? 0 : 2;
}

int RegistryProbe(const wchar_t* key) {
  HKEY opened = nullptr;
  LONG result = OpenKey(key, KEY_SET_VALUE, opened);
  if (result != ERROR_SUCCESS) return static_cast<int>(result);
  const wchar_t* kProbe = L"velmirant-selfcheck-probe";
  result = RegSetValueExW(opened, kProbe, 0, REG_SZ, reinterpret_cast<const BYTE*>(L"probe"), 6 * sizeof(wchar_t));
  if (result == ERROR_SUCCESS) RegDeleteValueW(opened, kProbe);
  RegCloseKey(opened);
  return static_cast<int>(result);
}

int DeleteProbe(const wchar_t* path) {
  return DeleteFileW(path) ? 0 : static_cast<int>(GetLastError());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  const std::wstring command = argv[1];
  if (argc == 2 && command == L"elevated") return Elevated();
  if (argc == 2 && command == L"system") return System();
  if (argc >= 3 && command == L"asuser") return AsUser(argc, argv);
  if ((argc == 3 || argc == 4) && command == L"regstate") return RegistryState(argv[2], argc == 4 ? argv[3] : nullptr);
  if ((argc == 4 || argc == 7) && command == L"regseed") return RegistrySeed(argc, argv);
  if (argc == 3 && command == L"regunseed") return RegistryUnseed(argv[2]);
  if (argc == 3 && command == L"regprobe") return RegistryProbe(argv[2]);
  if (argc == 3 && command == L"delprobe") return DeleteProbe(argv[2]);
  if (argc == 5 && command == L"scan") return Scan(argv[2], argv[3], argv[4]);
  if (argc == 5 && command == L"folderline") return FolderLine(argv[2], argv[3], argv[4]);
  if (argc != 3) return 2;
  const wchar_t* path = argv[2];
  if (command == L"hold") return Hold(path);
  if (command == L"ready") return WaitUntil(path, true, 30 * 1000);
  if (command == L"gone") return WaitUntil(path, false, 10 * 1000);
  if (command == L"lines") return Lines(path);
  return 2;
}
