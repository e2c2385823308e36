// velmirant-selfcheck: the self-check of velmirant-cleanup for a test machine. It seeds the vendor's
// leftovers and neighbours that must survive, starts stand-ins for the vendor's programs (copies
// of itself), runs velmirant-cleanup.exe from its own folder for real, checks the report and the
// machine, removes what it made and gives the verdict. `/plan` lists all of it and changes nothing.
//
// Copies of it also serve as its own child programs (first argument "--..."):
//   --hold LOCK STOP          a stand-in: holds LOCK without sharing until STOP appears (15 min at most)
//   --scan FILE LOCK REPORT STOP
//                             a scanner: holds FILE with delete sharing (and LOCK while it does) until
//                             FILE's deletion is pending, its name is gone, REPORT shows a "!" or STOP appears
//   --prove                   exit code 0 when it runs as a standard user (not in Administrators, integrity
//                             medium or lower), 1 in Administrators, 2 above medium, 3 when it cannot tell
//   --probe FILE KEY          whether this token may delete FILE and write to KEY ("-": not asked);
//                             exit code bit 0: FILE refused, bit 1: KEY refused
#include <windows.h>
#include <shlobj.h>
#include <winioctl.h>
#include <winsafer.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kit.h"

namespace {

constexpr DWORD kPollMs = 50;
constexpr DWORD kStandInLifetimeMs = 15 * 60 * 1000;
constexpr DWORD kToolTimeoutMs = 2 * 60 * 1000;
constexpr const wchar_t* kProbeValue = L"velmirant-selfcheck-probe";

// ---- Holders -------------------------------------------------------------------------------------

// A kernel handle: CreateFileW gives INVALID_HANDLE_VALUE for none, the others null.
struct Handle {
  HANDLE value = nullptr;
  Handle() = default;
  explicit Handle(HANDLE h) : value(h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { Reset(nullptr); }
  void Reset(HANDLE h) {
    if (value != nullptr && value != INVALID_HANDLE_VALUE) CloseHandle(value);
    value = h;
  }
  bool Valid() const { return value != nullptr && value != INVALID_HANDLE_VALUE; }
};

struct Key {
  HKEY value = nullptr;
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() {
    if (value != nullptr) RegCloseKey(value);
  }
};

// ---- Text ----------------------------------------------------------------------------------------

std::string Narrow(const std::wstring& text, UINT codePage) {
  if (text.empty()) return std::string();
  const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const int size = WideCharToMultiByte(codePage, flags, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) WideCharToMultiByte(codePage, flags, text.data(), static_cast<int>(text.size()), &narrow[0], size, nullptr, nullptr);
  return narrow;
}

std::wstring Wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
  return wide;
}

std::wstring Code(DWORD code) { return std::to_wstring(code); }

// The report's form of a folder: "/" for "\", in the ANSI code page.
std::string ReportPath(std::wstring path) {
  for (wchar_t& c : path) {
    if (c == L'\\') c = L'/';
  }
  return Narrow(path, CP_ACP);
}

// ---- The kit and its output ----------------------------------------------------------------------

struct Kit {
  KitOptions options;
  std::wstring self, folder, tool, results, work, record, stop;
  std::wstring roaming, programFiles;
  bool admin = false;
  bool wine = false;
  bool machineBranch = false;  // the 32-bit branch, where entry 12 lives: 64-bit Windows only
  bool limitedAdmin = false;   // in Administrators, by a token that reports itself limited
  Handle resultFile;
  int problems = 0;
  int left = 0;  // things the kit made that stay
};

void WriteOut(HANDLE out, const std::wstring& text) {
  DWORD mode = 0, written = 0;
  if (GetConsoleMode(out, &mode)) {
    WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  } else {
    const std::string bytes = Narrow(text, CP_UTF8);
    WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }
}

// A line on the console and in the result file.
void Say(Kit& kit, const std::wstring& line) {
  WriteOut(GetStdHandle(STD_OUTPUT_HANDLE), line + L"\r\n");
  if (kit.resultFile.Valid()) WriteOut(kit.resultFile.value, line + L"\r\n");
}

struct Run {
  const wchar_t* label;  // "elevated" or "standard user"
  bool standardUser;
  HANDLE token;  // a made standard user's token; null: the kit's own
  std::wstring report;
  int problems;
};

void SayRun(Kit& kit, const Run& run, const std::wstring& line) { Say(kit, L"[" + std::wstring(run.label) + L"] " + line); }

void Problem(Kit& kit, Run& run, const std::wstring& what) {
  ++run.problems;
  ++kit.problems;
  SayRun(kit, run, L"PROBLEM: " + what);
}

// ---- Files ----------------------------------------------------------------------------------------

enum class Presence { kThere, kGone, kUnknown };

Presence PathPresence(const std::wstring& path) {
  if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return Presence::kThere;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Presence::kGone : Presence::kUnknown;
}

// Whether another process holds path open without sharing: an open that shares nothing fails.
bool IsHeld(const std::wstring& path) {
  Handle file(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  return !file.Valid() && GetLastError() == ERROR_SHARING_VIOLATION;
}

bool WaitUntilHeld(const std::wstring& path, bool held, DWORD timeoutMs) {
  for (DWORD waited = 0;; waited += kPollMs) {
    if (IsHeld(path) == held) return true;
    if (waited >= timeoutMs) return false;
    Sleep(kPollMs);
  }
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes, DWORD disposition) {
  Handle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file.Valid() && WriteFile(file.value, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size() && FlushFileBuffers(file.value);
}

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
  Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, 0, nullptr));
  if (!file.Valid()) return false;
  bytes.clear();
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file.value, buffer, sizeof buffer, &read, nullptr) && read > 0) bytes.append(buffer, read);
  return true;
}

// A folder and all it holds; a link inside is removed as a link, never entered.
void RemoveTree(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
    return;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") RemoveTree(path + L"\\" + name);
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
  }
  RemoveDirectoryW(path.c_str());
}

// A junction at `link` to the folder `target` (FSCTL_SET_REPARSE_POINT with a mount point's data).
DWORD SetJunction(const std::wstring& link, const std::wstring& target) {
  const std::wstring substitute = L"\\??\\" + target;
  struct {
    DWORD tag;
    WORD dataLength, reserved, substituteOffset, substituteLength, printOffset, printLength;
    wchar_t names[2048];
  } data = {};
  if (substitute.size() + target.size() + 2 > sizeof data.names / sizeof(wchar_t)) return ERROR_FILENAME_EXCED_RANGE;
  data.tag = IO_REPARSE_TAG_MOUNT_POINT;
  data.substituteLength = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
  data.printOffset = static_cast<WORD>(data.substituteLength + sizeof(wchar_t));
  data.printLength = static_cast<WORD>(target.size() * sizeof(wchar_t));
  substitute.copy(data.names, substitute.size());
  target.copy(data.names + substitute.size() + 1, target.size());
  data.dataLength = static_cast<WORD>(4 * sizeof(WORD) + data.printOffset + data.printLength + sizeof(wchar_t));
  Handle folder(CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!folder.Valid()) return GetLastError();
  DWORD returned = 0;
  const DWORD size = 2 * sizeof(WORD) + sizeof(DWORD) + data.dataLength;
  return DeviceIoControl(folder.value, FSCTL_SET_REPARSE_POINT, &data, size, nullptr, 0, &returned, nullptr)
             ? ERROR_SUCCESS
             : GetLastError();
}

// ---- Registry --------------------------------------------------------------------------------------

// "HKCU\..." or "HKLM\...". The 64-bit view: a path naming WOW6432Node means the 32-bit branch itself.
bool SplitKey(const std::wstring& key, HKEY& root, std::wstring& subkey) {
  if (key.compare(0, 5, L"HKCU\\") == 0) {
    root = HKEY_CURRENT_USER;
  } else if (key.compare(0, 5, L"HKLM\\") == 0) {
    root = HKEY_LOCAL_MACHINE;
  } else {
    return false;
  }
  subkey = key.substr(5);
  return true;
}

LONG OpenKey(const std::wstring& key, REGSAM access, Key& opened) {
  HKEY root = nullptr;
  std::wstring subkey;
  if (!SplitKey(key, root, subkey)) return ERROR_INVALID_PARAMETER;
  return RegOpenKeyExW(root, subkey.c_str(), 0, access | KEY_WOW64_64KEY, &opened.value);
}

Presence RegistryPresence(const std::wstring& key, const wchar_t* name) {
  Key opened;
  LONG result = OpenKey(key, KEY_QUERY_VALUE, opened);
  if (result == ERROR_SUCCESS && name != nullptr) result = RegQueryValueExW(opened.value, name, nullptr, nullptr, nullptr, nullptr);
  if (result == ERROR_SUCCESS) return Presence::kThere;
  return result == ERROR_FILE_NOT_FOUND ? Presence::kGone : Presence::kUnknown;
}

void EncodeSeed(const RegistrySeed& seed, DWORD& type, std::vector<BYTE>& data) {
  const std::wstring text = seed.data;
  if (seed.type == SeedType::kText) {
    type = REG_SZ;
    data.assign(reinterpret_cast<const BYTE*>(text.c_str()), reinterpret_cast<const BYTE*>(text.c_str() + text.size() + 1));
  } else if (seed.type == SeedType::kNumber) {
    type = REG_DWORD;
    const DWORD number = std::wcstoul(text.c_str(), nullptr, 10);
    data.assign(reinterpret_cast<const BYTE*>(&number), reinterpret_cast<const BYTE*>(&number + 1));
  } else {
    type = REG_BINARY;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
      data.push_back(static_cast<BYTE>(std::wcstoul(text.substr(i, 2).c_str(), nullptr, 16)));
    }
  }
}

// ---- The record ------------------------------------------------------------------------------------

// One line more in the record, on disk before the thing it names is made.
bool Remember(Kit& kit, MadeKind kind, const std::wstring& path, const std::wstring& name = std::wstring()) {
  const std::string line = Narrow(FormatRecordLine({kind, path, name}), CP_UTF8);
  Handle file(CreateFileW(kit.record.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr));
  DWORD written = 0;
  return file.Valid() && WriteFile(file.value, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
         written == line.size() && FlushFileBuffers(file.value);
}

// Makes `path` a folder of the kit's: recorded first, refused where something is there already.
bool MakeFolder(Kit& kit, const std::wstring& path, std::wstring& why) {
  if (PathPresence(path) != Presence::kGone) {
    why = path + L" is already there and the self-check did not make it: remove it, or use another machine";
    return false;
  }
  if (!Remember(kit, MadeKind::kFolder, path)) {
    why = L"cannot write the record " + kit.record;
    return false;
  }
  if (!CreateDirectoryW(path.c_str(), nullptr)) {
    why = L"cannot create " + path + L" (" + Code(GetLastError()) + L")";
    return false;
  }
  return true;
}

// The keys on the seed's path that are missing (each recorded, then made, top down), then its value.
bool SeedValue(Kit& kit, const RegistrySeed& seed, std::wstring& why) {
  const std::wstring key = seed.key;
  HKEY root = nullptr;
  std::wstring subkey;
  SplitKey(key, root, subkey);
  for (std::size_t end = 5; end != std::wstring::npos;) {
    end = key.find(L'\\', end + 1);
    const std::wstring part = key.substr(0, end);
    const Presence presence = RegistryPresence(part, nullptr);
    if (presence == Presence::kThere) continue;
    Key made;
    LONG result = ERROR_INVALID_FUNCTION;
    if (presence == Presence::kGone && Remember(kit, MadeKind::kKey, part)) {
      result = RegCreateKeyExW(root, part.substr(5).c_str(), 0, nullptr, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, nullptr,
                               &made.value, nullptr);
    }
    if (result != ERROR_SUCCESS) {
      why = L"cannot create the key " + part + L" (" + Code(static_cast<DWORD>(result)) + L")";
      return false;
    }
  }
  Key opened;
  LONG result = OpenKey(key, KEY_SET_VALUE | KEY_QUERY_VALUE, opened);
  const bool existed = result == ERROR_SUCCESS &&
                       RegQueryValueExW(opened.value, seed.name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  DWORD type = 0;
  std::vector<BYTE> data;
  EncodeSeed(seed, type, data);
  if (result == ERROR_SUCCESS && !existed && !Remember(kit, MadeKind::kValue, key, seed.name)) result = ERROR_WRITE_FAULT;
  if (result == ERROR_SUCCESS) {
    result = RegSetValueExW(opened.value, seed.name, 0, type, data.data(), static_cast<DWORD>(data.size()));
  }
  if (result != ERROR_SUCCESS) why = L"cannot set the value " + std::wstring(seed.name) + L" under " + key + L" (" + Code(static_cast<DWORD>(result)) + L")";
  return result == ERROR_SUCCESS;
}

// ---- Tokens ----------------------------------------------------------------------------------------

struct SidBuffer {
  union {
    SID sid;
    BYTE bytes[SECURITY_MAX_SID_SIZE];
  };
};

bool IsLocalSystem() {
  Handle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token.value)) return false;
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } buffer;
  DWORD size = 0;
  return GetTokenInformation(token.value, TokenUser, &buffer, sizeof buffer, &size) &&
         IsWellKnownSid(buffer.user.User.Sid, WinLocalSystemSid);
}

// This process's own word, which is what counts: a group for deny only is no membership.
bool InAdministrators(BOOL& member) {
  SidBuffer administrators;
  DWORD size = sizeof administrators;
  return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, &administrators.sid, &size) &&
         CheckTokenMembership(nullptr, &administrators.sid, &member);
}

int ProveStandardUser() {
  BOOL member = TRUE;
  if (!InAdministrators(member)) return 3;
  if (member) return 1;
  Handle token;
  union {
    TOKEN_MANDATORY_LABEL label;
    BYTE bytes[sizeof(TOKEN_MANDATORY_LABEL) + SECURITY_MAX_SID_SIZE];
  } buffer;
  DWORD size = 0;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token.value) ||
      !GetTokenInformation(token.value, TokenIntegrityLevel, &buffer, sizeof buffer, &size)) {
    return 3;
  }
  const PSID label = buffer.label.Label.Sid;
  const DWORD level = *GetSidSubAuthority(label, *GetSidSubAuthorityCount(label) - 1);
  return level <= SECURITY_MANDATORY_MEDIUM_RID ? 0 : 2;
}

std::wstring Failed(const wchar_t* call) { return std::wstring(call) + L" failed with " + Code(GetLastError()); }

bool SetMediumIntegrity(HANDLE token, std::wstring& why) {
  SidBuffer medium;
  DWORD size = sizeof medium;
  if (!CreateWellKnownSid(WinMediumLabelSid, nullptr, &medium.sid, &size)) {
    why = Failed(L"CreateWellKnownSid(WinMediumLabelSid)");
    return false;
  }
  TOKEN_MANDATORY_LABEL label = {};
  label.Label.Attributes = SE_GROUP_INTEGRITY;
  label.Label.Sid = &medium.sid;
  if (!SetTokenInformation(token, TokenIntegrityLevel, &label, sizeof label + GetLengthSid(&medium.sid))) {
    why = Failed(L"SetTokenInformation(TokenIntegrityLevel)");
    return false;
  }
  return true;
}

// A restricted token keeps the elevated token's owner (Administrators) and default DACL, under
// which the child could not open what it makes: this user owns, and is let in, instead.
bool SetOwnerAndDefaultDacl(HANDLE own, HANDLE token, std::wstring& why) {
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } user;
  SidBuffer system;
  DWORD size = sizeof system;
  if (!GetTokenInformation(own, TokenUser, &user, sizeof user, &size)) {
    why = Failed(L"GetTokenInformation(TokenUser)");
    return false;
  }
  size = sizeof system;
  if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, &system.sid, &size)) {
    why = Failed(L"CreateWellKnownSid(WinLocalSystemSid)");
    return false;
  }
  TOKEN_OWNER owner = {user.user.User.Sid};
  if (!SetTokenInformation(token, TokenOwner, &owner, sizeof owner)) {
    why = Failed(L"SetTokenInformation(TokenOwner)");
    return false;
  }
  union {
    ACL acl;
    BYTE bytes[sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE)];
  } dacl;
  TOKEN_DEFAULT_DACL defaultDacl = {&dacl.acl};
  if (!InitializeAcl(&dacl.acl, sizeof dacl, ACL_REVISION) ||
      !AddAccessAllowedAce(&dacl.acl, ACL_REVISION, GENERIC_ALL, user.user.User.Sid) ||
      !AddAccessAllowedAce(&dacl.acl, ACL_REVISION, GENERIC_ALL, &system.sid) ||
      !SetTokenInformation(token, TokenDefaultDacl, &defaultDacl, sizeof defaultDacl)) {
    why = Failed(L"the default DACL's");
    return false;
  }
  return true;
}

// A standard user's token made from this process's: the Safer "normal user" level that
// `runas /trustlevel:0x20000` uses (Administrators for deny only, administrative privileges gone),
// else a restricted LUA token of the same kind; at medium integrity. Null, with the reasons.
HANDLE MakeStandardUserToken(std::wstring& why) {
  SAFER_LEVEL_HANDLE level = nullptr;
  HANDLE safer = nullptr;
  if (!SaferCreateLevel(SAFER_SCOPEID_USER, SAFER_LEVELID_NORMALUSER, SAFER_LEVEL_OPEN, &level, nullptr)) {
    why = Failed(L"SaferCreateLevel");
  } else {
    if (!SaferComputeTokenFromLevel(level, nullptr, &safer, 0, nullptr)) {
      why = Failed(L"SaferComputeTokenFromLevel");
      safer = nullptr;
    }
    SaferCloseLevel(level);
  }
  if (safer != nullptr) {
    // Some platforms (Wine) answer with a handle that is no token.
    TOKEN_TYPE type = TokenImpersonation;
    DWORD size = 0;
    if (!GetTokenInformation(safer, TokenType, &type, sizeof type, &size) || type != TokenPrimary) {
      why = L"Safer gave no primary token";
    } else if (SetMediumIntegrity(safer, why)) {
      return safer;
    }
    CloseHandle(safer);
  }
  std::wstring restrictedWhy;
  Handle own;
  HANDLE restricted = nullptr;
  SidBuffer administrators;
  DWORD size = sizeof administrators;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY | TOKEN_ADJUST_DEFAULT,
                        &own.value)) {
    restrictedWhy = Failed(L"OpenProcessToken");
  } else if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, &administrators.sid, &size)) {
    restrictedWhy = Failed(L"CreateWellKnownSid(WinBuiltinAdministratorsSid)");
  } else {
    SID_AND_ATTRIBUTES denyOnly = {&administrators.sid, 0};
    if (!CreateRestrictedToken(own.value, DISABLE_MAX_PRIVILEGE | LUA_TOKEN, 1, &denyOnly, 0, nullptr, 0, nullptr,
                               &restricted)) {
      restrictedWhy = Failed(L"CreateRestrictedToken");
      restricted = nullptr;
    } else if (!SetOwnerAndDefaultDacl(own.value, restricted, restrictedWhy) ||
               !SetMediumIntegrity(restricted, restrictedWhy)) {
      CloseHandle(restricted);
      restricted = nullptr;
    }
  }
  if (restricted == nullptr) why += L"; " + restrictedWhy;
  return restricted;
}

// ---- Programs ----------------------------------------------------------------------------------------

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

// Starts `program` without a console window, with `token` (null: this process's own), its
// standard output to `out` where given. The process handle, or null with the reason.
HANDLE StartProgram(HANDLE token, const std::wstring& program, const std::vector<std::wstring>& arguments, HANDLE out,
                    std::wstring& why) {
  std::wstring line;
  AppendArgument(line, program);
  for (const std::wstring& argument : arguments) AppendArgument(line, argument);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = out;
  PROCESS_INFORMATION process = {};
  const BOOL inherit = out != nullptr;
  const BOOL started =
      token != nullptr ? CreateProcessAsUserW(token, program.c_str(), &line[0], nullptr, nullptr, inherit, CREATE_NO_WINDOW,
                                              nullptr, nullptr, &startup, &process)
                       : CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, inherit, CREATE_NO_WINDOW, nullptr,
                                        nullptr, &startup, &process);
  if (!started) {
    why = Failed(token != nullptr ? L"CreateProcessAsUserW" : L"CreateProcessW");
    return nullptr;
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

// Runs a program to its end; its exit code, or `failed` with the reason.
DWORD RunProgram(HANDLE token, const std::wstring& program, const std::vector<std::wstring>& arguments, DWORD failed,
                 std::wstring& why) {
  Handle process(StartProgram(token, program, arguments, nullptr, why));
  DWORD code = failed;
  if (process.Valid() && WaitForSingleObject(process.value, kToolTimeoutMs) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process.value, &code);
  } else if (process.Valid()) {
    TerminateProcess(process.value, failed);
    why = program + L" did not end within two minutes";
  }
  return code;
}

// ---- Stand-ins -------------------------------------------------------------------------------------

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

int Hold(const std::wstring& lock, const std::wstring& stop) {
  Handle file(CreateFileW(lock.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  if (!file.Valid()) return 3;
  for (DWORD waited = 0; waited < kStandInLifetimeMs && !Exists(stop); waited += 100) Sleep(100);
  return 0;
}

bool ReportShowsMarks(const std::wstring& report) {
  std::string bytes;
  return ReadWholeFile(report, bytes) && (bytes.compare(0, 1, "!") == 0 || bytes.find("\n!") != std::string::npos);
}

int Scan(const std::wstring& path, const std::wstring& lock, const std::wstring& report, const std::wstring& stop) {
  Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, 0, nullptr));
  if (!file.Valid()) return 3;
  Handle held(CreateFileW(lock.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  for (DWORD waited = 0; waited < kStandInLifetimeMs; waited += 20) {
    FILE_STANDARD_INFO info = {};
    if (GetFileInformationByHandleEx(file.value, FileStandardInfo, &info, sizeof info) && info.DeletePending) break;
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
      result = RegSetValueExW(opened.value, kProbeValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(L"probe"), 6 * sizeof(wchar_t));
      RegDeleteValueW(opened.value, kProbeValue);
    }
    if (result != ERROR_SUCCESS) refused |= 2;
  }
  return refused;
}

// ---- Clean-up ----------------------------------------------------------------------------------------

// Removes one thing the kit made; false with the reason when it stays.
bool RemoveMade(Kit& kit, const MadeThing& thing, bool& stopped, std::wstring& why) {
  switch (thing.kind) {
    case MadeKind::kProgram: {
      if (!stopped) stopped = WriteWholeFile(kit.stop, "stop\r\n", CREATE_ALWAYS);
      if (!WaitUntilHeld(thing.path + L".lock", false, 10 * 1000)) {
        why = L"the stand-in " + thing.path + L" still runs";
        return false;
      }
      // An ended program's image may stay mapped a moment.
      SetFileAttributesW(thing.path.c_str(), FILE_ATTRIBUTE_NORMAL);
      for (int attempt = 0; attempt < 40 && Exists(thing.path) && !DeleteFileW(thing.path.c_str()); ++attempt) Sleep(kPollMs);
      DeleteFileW((thing.path + L".lock").c_str());
      if (PathPresence(thing.path) != Presence::kGone) why = thing.path + L" is still there";
      return PathPresence(thing.path) == Presence::kGone;
    }
    case MadeKind::kJunction:
    case MadeKind::kFolder:
      if (thing.kind == MadeKind::kJunction) {
        RemoveDirectoryW(thing.path.c_str());
      } else {
        RemoveTree(thing.path);
      }
      if (PathPresence(thing.path) != Presence::kGone) why = thing.path + L" is still there";
      return PathPresence(thing.path) == Presence::kGone;
    case MadeKind::kValue: {
      Key opened;
      if (OpenKey(thing.path, KEY_SET_VALUE, opened) == ERROR_SUCCESS) RegDeleteValueW(opened.value, thing.name.c_str());
      if (RegistryPresence(thing.path, thing.name.c_str()) == Presence::kGone) return true;
      why = L"the value " + thing.name + L" under " + thing.path + L" is still there";
      return false;
    }
    case MadeKind::kKey: {
      // A key the kit made goes only once it is empty: what it holds then is somebody else's.
      Key opened;
      LONG result = OpenKey(thing.path, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS, opened);
      if (result == ERROR_FILE_NOT_FOUND) return true;
      DWORD subkeys = 0, values = 0;
      if (result == ERROR_SUCCESS) {
        result = RegQueryInfoKeyW(opened.value, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                                  nullptr, nullptr, nullptr);
      }
      if (result == ERROR_SUCCESS && subkeys + values > 0) {
        why = L"the key " + thing.path + L", made by the self-check, holds what it did not make: left";
        return false;
      }
      HKEY root = nullptr;
      std::wstring subkey;
      SplitKey(thing.path, root, subkey);
      if (result == ERROR_SUCCESS) result = RegDeleteKeyExW(root, subkey.c_str(), KEY_WOW64_64KEY, 0);
      if (RegistryPresence(thing.path, nullptr) == Presence::kGone) return true;
      why = L"the key " + thing.path + L" is still there (" + Code(static_cast<DWORD>(result)) + L")";
      return false;
    }
  }
  return false;
}

// Removes, last made first, all the record names; the record then keeps only what stays. Every
// thing that stays gets its line. Returns how many stay.
int CleanUp(Kit& kit, const std::wstring& label) {
  const std::wstring prefix = label.empty() ? std::wstring() : L"[" + label + L"] ";
  std::string bytes;
  int left = 0;
  std::wstring kept;
  if (ReadWholeFile(kit.record, bytes)) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0) MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], size);
    const ParsedRecord record = ParseRecord(text);
    for (const std::wstring& line : record.unreadable) {
      Say(kit, prefix + L"CLEAN-UP INCOMPLETE: the record " + kit.record + L" has a line that names nothing: [" + line + L"]");
      ++left;
    }
    bool stopped = false;
    std::vector<MadeThing> staying;
    for (auto thing = record.things.rbegin(); thing != record.things.rend(); ++thing) {
      std::wstring why;
      if (RemoveMade(kit, *thing, stopped, why)) continue;
      Say(kit, prefix + L"CLEAN-UP INCOMPLETE: " + why);
      ++left;
      staying.insert(staying.begin(), *thing);
    }
    for (const MadeThing& thing : staying) kept += FormatRecordLine(thing);
  }
  if (left == 0) {
    RemoveTree(kit.work);
    if (PathPresence(kit.work) != Presence::kGone) {
      Say(kit, prefix + L"CLEAN-UP INCOMPLETE: the self-check's own folder " + kit.work + L" is still there");
      ++left;
    }
  } else if (!WriteWholeFile(kit.record, Narrow(kept, CP_UTF8), CREATE_ALWAYS)) {
    Say(kit, prefix + L"CLEAN-UP INCOMPLETE: the record " + kit.record + L" could not be brought up to date");
  }
  kit.left += left;
  return left;
}

// ---- One run -------------------------------------------------------------------------------------

// Where things are for a run; the same for /plan and for the run itself.
struct Places {
  std::wstring vendorUser, neighbourUser, vendorProgram, neighbourProgram, probeFolder, junction, junctionTarget;
  bool seedsProgramFolder;  // from an administrator's prompt
  bool seedsMachine;        // and only where the 32-bit branch's Run key is
  bool probes;              // a standard user's run on a platform that grants it what Windows refuses
};

Places PlacesFor(const Kit& kit, const Run& run) {
  Places places;
  places.vendorUser = kit.roaming + L"\\" + kVendorFolder;
  places.neighbourUser = kit.roaming + L"\\" + kNeighbourName;
  places.vendorProgram = kit.programFiles + L"\\" + kVendorFolder;
  places.neighbourProgram = kit.programFiles + L"\\" + kNeighbourName;
  places.probeFolder = kit.programFiles + L"\\velmirant-selfcheck-probe";
  places.junction = places.vendorUser + L"\\" + kJunctionName;
  places.junctionTarget = places.neighbourUser + L"\\cache";
  places.seedsProgramFolder = kit.admin;
  places.seedsMachine = kit.admin && kit.machineBranch;
  places.probes = run.standardUser && kit.wine;
  return places;
}

std::vector<std::wstring> SeededFolders(const Places& places) {
  std::vector<std::wstring> folders = {places.vendorUser, places.neighbourUser};
  if (places.seedsProgramFolder) {
    folders.push_back(places.vendorProgram);
    folders.push_back(places.neighbourProgram);
  }
  return folders;
}

bool SeedTree(Kit& kit, const std::wstring& folder, std::wstring& why) {
  if (!MakeFolder(kit, folder, why)) return false;
  for (const wchar_t* sub : kTreeFolders) {
    if (!CreateDirectoryW((folder + L"\\" + sub).c_str(), nullptr)) {
      why = Failed(L"CreateDirectoryW") + L" for " + folder + L"\\" + sub;
      return false;
    }
  }
  for (const wchar_t* file : kTreeFiles) {
    if (!WriteWholeFile(folder + L"\\" + file, "velmirant-selfcheck\r\n", CREATE_NEW)) {
      why = Failed(L"writing") + L" " + folder + L"\\" + file;
      return false;
    }
  }
  return true;
}

std::wstring StandInPath(const Kit& kit, const wchar_t* name) { return kit.work + L"\\" + name; }

bool StartStandIn(Kit& kit, Run& run, const wchar_t* name, std::vector<std::wstring> arguments) {
  const std::wstring path = StandInPath(kit, name);
  std::wstring why;
  if (!Remember(kit, MadeKind::kProgram, path)) {
    why = L"cannot write the record " + kit.record;
  } else if (!CopyFileW(kit.self.c_str(), path.c_str(), FALSE)) {
    why = Failed(L"CopyFileW");
  } else {
    // A copy from a read-only medium keeps its read-only attribute, which would stop its deletion.
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    Handle process(StartProgram(run.token, path, arguments, nullptr, why));
    if (process.Valid() && WaitUntilHeld(path + L".lock", true, 30 * 1000)) return true;
    if (process.Valid()) why = L"it did not start to hold its lock file";
  }
  Problem(kit, run, L"the stand-in " + std::wstring(name) + L" did not start: " + why);
  return false;
}

// What the program folder's and entry 12's lines must carry in this run, as on Windows.
void DueCodes(const Kit& kit, const Run& run, const Places& places, long& programCode, long& machineCode) {
  programCode = places.seedsProgramFolder && run.standardUser ? 5 : 0;
  machineCode = !kit.machineBranch ? 2 : run.standardUser ? 5 : places.seedsMachine ? 0 : 2;
}

// On Wine a standard user's run takes them from a probe with its token: Wine grants those writes.
void ProbeCodes(Kit& kit, Run& run, const Places& places, long& programCode, long& machineCode) {
  const bool runKey = kit.machineBranch && RegistryPresence(kMachineRunKey, nullptr) == Presence::kThere;
  if (kit.machineBranch && !runKey) machineCode = 2;
  const std::wstring file = places.seedsProgramFolder ? places.probeFolder + L"\\probe.txt" : L"-";
  const std::wstring key = runKey ? kMachineRunKey : L"-";
  if (file == L"-" && key == L"-") return;
  std::wstring why;
  if (key != L"-" && !Remember(kit, MadeKind::kValue, key, kProbeValue)) {
    Problem(kit, run, L"cannot write the record " + kit.record);
    return;
  }
  const DWORD refused = run.token != nullptr ? RunProgram(run.token, kit.self, {L"--probe", file, key}, 255, why)
                                              : static_cast<DWORD>(Probe(file, key));
  if (refused > 3) {
    Problem(kit, run, L"the probe with this run's token gave no answer: " + why);
    return;
  }
  if (file != L"-" && (refused & 1) == 0) programCode = 0;
  if (key != L"-" && (refused & 2) == 0) machineCode = places.seedsMachine ? 0 : 2;
  std::wstring due;
  if (file != L"-") due = L"the program folder's line -> " + std::to_wstring(programCode);
  if (key != L"-") due += (due.empty() ? L"" : L", ") + std::wstring(L"entry 12's line -> ") + std::to_wstring(machineCode);
  SayRun(kit, run, L"This platform (Wine) may let a standard user write where Windows refuses it: a probe with this run's "
                   L"token found " + due + L" due (on Windows: -> 5).");
}

void CheckTree(Kit& kit, Run& run, const std::wstring& folder) {
  for (const wchar_t* file : kTreeFiles) {
    const std::wstring path = folder + L"\\" + file;
    const Presence presence = PathPresence(path);
    if (presence == Presence::kGone) Problem(kit, run, path + L" is gone, but must stay");
    if (presence == Presence::kUnknown) Problem(kit, run, path + L": cannot tell whether it is there (" + Code(GetLastError()) + L")");
  }
}

void CheckGone(Kit& kit, Run& run, const std::wstring& folder) {
  if (PathPresence(folder) != Presence::kGone) Problem(kit, run, folder + L" is still there");
}

void CheckRegistry(Kit& kit, Run& run, const RegistryOutcome& outcome) {
  const Presence presence = RegistryPresence(outcome.key, outcome.name);
  const std::wstring what = outcome.name == nullptr ? L"the key " + std::wstring(outcome.key)
                                                    : L"the value " + std::wstring(outcome.name) + L" under " + outcome.key;
  if (presence == Presence::kUnknown) {
    Problem(kit, run, what + L": the registry gave no answer");
  } else if ((presence == Presence::kThere) != outcome.stays) {
    Problem(kit, run, what + (outcome.stays ? L": gone, but due: still there" : L": still there, but due: gone"));
  }
}

// The seeded trees, the junction and the registry seeds; false with the reason.
bool Seed(Kit& kit, Run& run, const Places& places, std::wstring& why) {
  if (!CreateDirectoryW(kit.work.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    why = Failed(L"CreateDirectoryW") + L" for " + kit.work;
    return false;
  }
  for (const std::wstring& folder : SeededFolders(places)) {
    if (!SeedTree(kit, folder, why)) return false;
  }
  if (places.probes && places.seedsProgramFolder &&
      (!MakeFolder(kit, places.probeFolder, why) ||
       !WriteWholeFile(places.probeFolder + L"\\probe.txt", "probe\r\n", CREATE_NEW))) {
    if (why.empty()) why = Failed(L"writing") + L" " + places.probeFolder + L"\\probe.txt";
    return false;
  }
  if (!Remember(kit, MadeKind::kJunction, places.junction) || !CreateDirectoryW(places.junction.c_str(), nullptr)) {
    why = L"cannot make the folder " + places.junction;
    return false;
  }
  const DWORD error = SetJunction(places.junction, places.junctionTarget);
  if (error != ERROR_SUCCESS || !Exists(places.junction + L"\\deep\\data.bin")) {
    RemoveDirectoryW(places.junction.c_str());
    SayRun(kit, run, L"Note: no junction could be made inside the vendor folder here (" + Code(error) +
                         L"); that point is not checked.");
  }
  for (const RegistrySeed& seed : kRegistrySeeds) {
    if ((!seed.machine || places.seedsMachine) && !SeedValue(kit, seed, why)) return false;
  }
  return true;
}

std::wstring LockOf(const Kit& kit, const wchar_t* name) { return StandInPath(kit, name) + L".lock"; }

bool StartStandIns(Kit& kit, Run& run, const Places& places) {
  for (const wchar_t* name : kTargetStandIns) {
    if (!StartStandIn(kit, run, name, {L"--hold", LockOf(kit, name), kit.stop})) return false;
  }
  return StartStandIn(kit, run, kNeighbourStandIn, {L"--hold", LockOf(kit, kNeighbourStandIn), kit.stop}) &&
         StartStandIn(kit, run, kScanner,
                      {L"--scan", places.vendorUser + L"\\" + kHeldFile, LockOf(kit, kScanner), run.report, kit.stop});
}

// The tool with this run's token, its report to the run's file; its exit code (255: it did not run).
DWORD RunTool(Kit& kit, Run& run) {
  std::wstring why;
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  Handle report(CreateFileW(run.report.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS, 0, nullptr));
  if (!report.Valid()) why = Failed(L"creating the report");
  Handle tool(report.Valid() ? StartProgram(run.token, kit.tool, {}, report.value, why) : nullptr);
  report.Reset(nullptr);
  DWORD code = 255;
  if (tool.Valid() && WaitForSingleObject(tool.value, kToolTimeoutMs) != WAIT_OBJECT_0) {
    TerminateProcess(tool.value, 255);
    why = L"it did not end within two minutes";
  } else if (tool.Valid()) {
    GetExitCodeProcess(tool.value, &code);
  }
  if (!why.empty()) Problem(kit, run, L"the tool did not run: " + why);
  if (code != 0) Problem(kit, run, L"the tool's exit code is " + Code(code) + L", not 0");
  return code;
}

// The report, the stand-ins, the folders and the registry after the tool.
void CheckAfter(Kit& kit, Run& run, const Places& places, long programCode, long machineCode) {
  ReportExpectation expected;
  for (const wchar_t* name : kTargetStandIns) expected.endedPrograms.push_back(Narrow(name, CP_ACP));
  expected.neighbourProgram = Narrow(kNeighbourStandIn, CP_ACP);
  expected.userFolderLine = ReportPath(places.vendorUser) + " -> 0";
  expected.programFolderLine = ReportPath(places.vendorProgram) + " -> " + std::to_string(programCode);
  expected.registryLines = ExpectedRegistryLines(machineCode);
  std::string report;
  ReadWholeFile(run.report, report);
  const ReportCheck check = CheckReport(report, expected);
  for (const std::string& problem : check.problems) Problem(kit, run, Wide(problem));

  // The stand-ins ended by the tool, and the scanner, have ten seconds between them to let go.
  const ULONGLONG deadline = GetTickCount64() + 10 * 1000;
  const auto remaining = [deadline]() {
    const ULONGLONG now = GetTickCount64();
    return static_cast<DWORD>(now < deadline ? deadline - now : 0);
  };
  for (const wchar_t* name : kTargetStandIns) {
    if (!WaitUntilHeld(LockOf(kit, name), false, remaining())) {
      Problem(kit, run, L"the stand-in " + std::wstring(name) + L" is still running");
    }
  }
  if (!IsHeld(LockOf(kit, kNeighbourStandIn))) {
    Problem(kit, run, L"the neighbour program " + std::wstring(kNeighbourStandIn) + L" is no longer running");
  }
  if (!WaitUntilHeld(LockOf(kit, kScanner), false, remaining())) {
    Problem(kit, run, L"the stand-in scanner never saw its file's deletion");
  }
  if (check.userFolderLineDue && check.marks == 0) SayRun(kit, run, L"The scanned file went at once (deletion with POSIX semantics).");
  if (check.userFolderLineDue && check.marks > 0) {
    SayRun(kit, run, L"The scanned file went after " + std::to_wstring(check.marks) +
                         L" failed attempt(s), marked !: the classic deletion waited for the scanner.");
  }
  CheckGone(kit, run, places.vendorUser);
  CheckTree(kit, run, places.neighbourUser);
  if (places.seedsProgramFolder) {
    CheckTree(kit, run, places.neighbourProgram);
    if (programCode == 0) CheckGone(kit, run, places.vendorProgram);
    if (programCode != 0) CheckTree(kit, run, places.vendorProgram);
  }
  for (const RegistryOutcome& outcome : kRegistryOutcomes) {
    if (!outcome.machine || places.seedsMachine) CheckRegistry(kit, run, outcome);
  }
  if (places.seedsMachine) {
    RegistryOutcome vendor = kMachineVendorValue;
    vendor.stays = machineCode != 0;
    CheckRegistry(kit, run, vendor);
  }
}

// Seeds, starts the stand-ins, runs the tool, checks, and cleans up (unless /keep keeps a failed
// run). False when a kept run's state stays.
bool OneRun(Kit& kit, Run& run) {
  const Places places = PlacesFor(kit, run);
  SayRun(kit, run, places.seedsProgramFolder ? L"Seeding the per-user and the machine-wide leftovers"
                                             : L"Seeding the per-user leftovers");
  std::wstring why;
  const bool seeded = Seed(kit, run, places, why);
  if (!seeded) Problem(kit, run, L"could not seed: " + why);
  long programCode = 0, machineCode = 0;
  DueCodes(kit, run, places, programCode, machineCode);
  if (seeded && places.probes) ProbeCodes(kit, run, places, programCode, machineCode);
  if (seeded && StartStandIns(kit, run, places)) {
    RunTool(kit, run);
    CheckAfter(kit, run, places, programCode, machineCode);
  }
  SayRun(kit, run, run.problems == 0 ? L"passed" : L"failed: " + std::to_wstring(run.problems) + L" problems");
  if (run.problems > 0 && kit.options.keep) {
    SayRun(kit, run, L"Kept as it is for a look (/keep), stand-ins included (they end by themselves within 15 minutes). "
                     L"The next run removes it first, or now: velmirant-selfcheck.exe /cleanup");
    return false;
  }
  CleanUp(kit, run.label);
  return true;
}

// ---- /plan ---------------------------------------------------------------------------------------

void PrintPlan(Kit& kit, const Run& run) {
  const Places places = PlacesFor(kit, run);
  const auto line = [&](const std::wstring& text) { SayRun(kit, run, text); };
  line(run.token != nullptr || (kit.admin && run.standardUser)
           ? L"runs with a standard user's token made from this one, proven not in Administrators and at medium integrity"
           : L"runs with this prompt's own token");
  for (const std::wstring& folder : SeededFolders(places)) {
    line(L"folder  " + folder);
    for (const wchar_t* sub : kTreeFolders) line(L"folder  " + folder + L"\\" + sub);
    for (const wchar_t* file : kTreeFiles) line(L"file    " + folder + L"\\" + file);
  }
  if (places.probes && places.seedsProgramFolder) {
    line(L"folder  " + places.probeFolder);
    line(L"file    " + places.probeFolder + L"\\probe.txt");
  }
  line(L"junction " + places.junction + L" -> " + places.junctionTarget + L" (where the file system makes one)");
  std::wstring lastKey;
  for (const RegistrySeed& seed : kRegistrySeeds) {
    if (seed.machine && !places.seedsMachine) continue;
    if (seed.key != lastKey) line(L"key     " + std::wstring(seed.key) + L" (with the keys above it, where missing)");
    lastKey = seed.key;
    const wchar_t* type = seed.type == SeedType::kText ? L"REG_SZ" : seed.type == SeedType::kNumber ? L"REG_DWORD" : L"REG_BINARY";
    line(L"value   " + std::wstring(seed.key) + L"|" + (*seed.name != L'\0' ? seed.name : L"(default)") + L" = " + type +
         L" " + seed.data);
  }
  if (places.probes && kit.machineBranch) line(L"value   " + std::wstring(kMachineRunKey) + L"|" + kProbeValue + L" (a probe, removed at once)");
  line(L"folder  " + kit.work + L" (the record and the stand-ins)");
  for (const wchar_t* name : kTargetStandIns) line(L"program " + StandInPath(kit, name) + L" (a target: the tool must end it)");
  line(L"program " + StandInPath(kit, kNeighbourStandIn) + L" (a neighbour: it must keep running)");
  line(L"program " + StandInPath(kit, kScanner) + L" (holds " + places.vendorUser + L"\\" + kHeldFile +
       L" with delete sharing until its deletion is pending)");
  line(L"program " + kit.tool + L", its report to " + kit.results + L"\\" +
       (run.standardUser ? L"report-standard-user.txt" : L"report-elevated.txt"));
  const std::wstring probed = places.probes ? L" (on Wine, what a probe with this run's token finds)" : L"";
  long programCode = 0, machineCode = 0;
  DueCodes(kit, run, places, programCode, machineCode);
  for (const wchar_t* name : kTargetStandIns) line(L"report line: " + std::wstring(name) + L": TerminateProcess() OK (in any order)");
  line(L"report line: (empty)");
  line(L"report line: " + Wide(ReportPath(places.vendorUser)) + L" -> 0 (after a \"!\" for each failed attempt)");
  line(L"report line: " + Wide(ReportPath(places.vendorProgram)) + L" -> " + std::to_wstring(programCode) +
       (places.seedsProgramFolder ? probed : L""));
  line(L"report line: (empty)");
  const std::vector<std::string> registry = ExpectedRegistryLines(machineCode);
  for (std::size_t i = 0; i < registry.size(); ++i) line(L"report line: " + Wide(registry[i]) + (i == 11 ? probed : L""));
}

// ---- The verdict and the way out ----------------------------------------------------------------

// A double-clicked program owns its console alone: it waits before that window closes.
int Finish(const Kit& kit, int code) {
  DWORD processes[2];
  DWORD mode = 0;
  if (!kit.options.yes && GetConsoleProcessList(processes, 2) == 1 && GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) {
    WriteOut(GetStdHandle(STD_OUTPUT_HANDLE), L"Press Enter to close this window.\r\n");
    char buffer[16];
    DWORD read = 0;
    ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr);
  }
  return code;
}

bool AskToGoOn() {
  WriteOut(GetStdHandle(STD_OUTPUT_HANDLE), L"Go on? [y/N] ");
  char buffer[64] = {};
  DWORD read = 0;
  ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer - 1, &read, nullptr);
  if (read == 0) WriteOut(GetStdHandle(STD_OUTPUT_HANDLE), L"\r\n");  // no answer at all: the next line on its own
  return read > 0 && (buffer[0] == 'y' || buffer[0] == 'Y');
}

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0) return std::wstring();
    if (length < path.size()) return path.substr(0, length);
    path.resize(path.size() * 2);
  }
}

std::wstring FullPath(const std::wstring& path) {
  const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::wstring full(size, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), size, &full[0], nullptr);
  full.resize(length < size ? length : 0);
  while (full.size() > 3 && full.back() == L'\\') full.pop_back();
  return full;
}

bool KnownFolder(REFKNOWNFOLDERID id, std::wstring& path) {
  PWSTR found = nullptr;
  const bool ok = SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &found));
  if (ok) path = found;
  CoTaskMemFree(found);
  return ok;
}

// The result folder and the folders above it that are missing.
bool MakeFolders(const std::wstring& path) {
  if (CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) return true;
  const std::size_t slash = path.find_last_of(L'\\');
  if (GetLastError() != ERROR_PATH_NOT_FOUND || slash == std::wstring::npos || slash < 3) return false;
  return MakeFolders(path.substr(0, slash)) && CreateDirectoryW(path.c_str(), nullptr);
}

int Check(Kit& kit) {
  std::vector<Run> runs;
  if (kit.admin && !kit.options.userOnly) runs.push_back({L"elevated", false, nullptr, kit.results + L"\\report-elevated.txt", 0});
  runs.push_back({L"standard user", true, nullptr, kit.results + L"\\report-standard-user.txt", 0});

  if (kit.options.plan) {
    Say(kit, L"The self-check would make and expect this, run by run (nothing is changed now):");
    for (const Run& run : runs) PrintPlan(kit, run);
    Say(kit, L"Each run's clean-up removes, last made first, what the record in " + kit.work +
                 L" names: keys only when empty. The checks after the tool: the stand-ins ended and the neighbour "
                 L"running, the vendor's per-user folder gone, every file of each neighbour tree there, each seeded "
                 L"registry target gone and each neighbour there.");
    return 0;
  }
  if (kit.options.cleanUpOnly) {
    const bool found = Exists(kit.work);
    if (found && CleanUp(kit, L"") > 0) return 2;
    Say(kit, found ? L"Everything an earlier run made is removed." : L"No earlier run left anything.");
    return 0;
  }
  if (!Exists(kit.tool)) {
    Say(kit, L"velmirant-cleanup.exe is not beside this program: unpack the whole zip first.");
    return 1;
  }
  Say(kit, L"This runs velmirant-cleanup for real on this machine, for the current user: use it on a test machine only.");
  Say(kit, runs.size() == 2 ? L"It runs the tool twice: elevated, and with a standard user's token made from this one."
                            : L"It runs the tool once, as a standard user.");
  Say(kit, L"Each run seeds the vendor's leftovers, starts stand-ins for its programs, runs the tool, checks the result");
  Say(kit, L"and removes what it made (/plan lists it all). The reports and the result go to \"" + kit.results + L"\".");
  if (!kit.options.yes && !AskToGoOn()) {
    Say(kit, L"Nothing was done.");
    return 1;
  }
  if (!MakeFolders(kit.results)) {
    Say(kit, L"Cannot create the result folder \"" + kit.results + L"\" (" + Code(GetLastError()) + L").");
    return 1;
  }
  kit.resultFile.Reset(CreateFileW((kit.results + L"\\result.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                   CREATE_ALWAYS, 0, nullptr));
  for (const Run& run : runs) DeleteFileW(run.report.c_str());
  if (Exists(kit.work)) {
    Say(kit, L"An earlier run left what it made (kept, stopped or crashed): removing that first.");
    if (CleanUp(kit, L"") > 0) {
      Say(kit, L"Nothing was checked: what an earlier run made stays (see above).");
      return 2;
    }
  }

  bool noStandardRun = false;
  for (Run& run : runs) {
    Handle token;
    if (run.standardUser && kit.admin) {
      std::wstring why;
      token.Reset(MakeStandardUserToken(why));
      // The proof is the child's own word: a copy of this program started with that token.
      const DWORD proof = token.Valid() ? RunProgram(token.value, kit.self, {L"--prove"}, 255, why) : 255;
      if (proof == 1) why = L"a program started with the token made from this one is still in Administrators";
      if (proof == 2) why = L"a program started with the token made from this one runs above medium integrity";
      if (proof == 3) why = L"a program started with the token made from this one cannot tell what it is";
      if (proof != 0) {
        Say(kit, L"standard-user run: not possible here: " + why);
        Say(kit, runs.size() == 1 ? L"Nothing was checked." : L"The verdict below covers the elevated run only.");
        if (runs.size() == 1) ++kit.problems;
        noStandardRun = true;
        break;
      }
      run.token = token.value;
    }
    if (run.standardUser && !kit.admin && kit.limitedAdmin) {
      Say(kit, L"Note: this prompt's token reports itself limited (UAC's filtered token, not elevated), yet it is in "
               L"Administrators: Wine's is so; on Windows a filtered token has Administrators for deny only.");
    }
    if (!OneRun(kit, run)) break;
  }
  Say(kit, kit.problems == 0 ? L"SELF-CHECK PASSED" : L"SELF-CHECK FAILED: " + std::to_wstring(kit.problems) + L" problems");
  if (kit.left > 0) {
    Say(kit, L"CLEAN-UP INCOMPLETE: " + std::to_wstring(kit.left) + L" things the self-check made are still there (see above)");
  }
  Say(kit, L"The reports and this result are in \"" + kit.results + L"\".");
  if (kit.problems > 0) return 1;
  if (kit.left > 0) return 2;
  return noStandardRun ? 3 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::vector<std::wstring> arguments(argv + 1, argv + argc);
  if (argc == 4 && arguments[0] == L"--hold") return Hold(arguments[1], arguments[2]);
  if (argc == 6 && arguments[0] == L"--scan") return Scan(arguments[1], arguments[2], arguments[3], arguments[4]);
  if (argc == 2 && arguments[0] == L"--prove") return ProveStandardUser();
  if (argc == 4 && arguments[0] == L"--probe") return Probe(arguments[1], arguments[2]);

  Kit kit;
  std::wstring error;
  if (!ParseKitOptions(arguments, kit.options, error)) {
    WriteOut(GetStdHandle(STD_OUTPUT_HANDLE), error + L"\r\n" + kKitUsage);
    return Finish(kit, 1);
  }
  kit.self = ModulePath();
  kit.folder = kit.self.substr(0, kit.self.find_last_of(L'\\'));
  kit.tool = kit.folder + L"\\velmirant-cleanup.exe";
  const std::wstring results = kit.options.resultFolder.empty() ? L"results" : kit.options.resultFolder;
  // A relative result folder is taken from this program's folder, not the current one (System32
  // under "Run as administrator"); the path is used as it is, so a UNC folder needs no drive.
  kit.results = FullPath(IsRelativeFolder(results) ? kit.folder + L"\\" + results : results);
  wchar_t temp[MAX_PATH + 1];
  const DWORD tempLength = GetTempPathW(MAX_PATH + 1, temp);
  kit.work = std::wstring(temp, tempLength) + L"velmirant-selfcheck";
  kit.record = kit.work + L"\\record.txt";
  kit.stop = kit.work + L"\\stop";
  if (kit.self.empty() || tempLength == 0 || tempLength > MAX_PATH || !KnownFolder(FOLDERID_RoamingAppData, kit.roaming) ||
      !KnownFolder(FOLDERID_ProgramFilesX86, kit.programFiles)) {
    Say(kit, L"Cannot tell where this program, the temporary folder or the known folders are (" + Code(GetLastError()) + L").");
    return Finish(kit, 1);
  }
  if (IsLocalSystem()) {
    Say(kit, L"This runs as SYSTEM, whose profile a 32-bit and a 64-bit program do not see in the same place.");
    Say(kit, L"Run it from a command prompt of a user, elevated or not.");
    return Finish(kit, 1);
  }
  // An administrator's token that reports itself limited is UAC's filtered one, in which Windows
  // keeps Administrators for deny only (Wine 10 keeps it enabled): that prompt is a standard user's.
  BOOL member = FALSE;
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  Handle token;
  DWORD size = 0;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token.value)) {
    GetTokenInformation(token.value, TokenElevationType, &type, sizeof type, &size);
  }
  kit.admin = InAdministrators(member) && member && type != TokenElevationTypeLimited;
  kit.limitedAdmin = member && type == TokenElevationTypeLimited;
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  kit.wine = ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  kit.machineBranch = RegistryPresence(L"HKLM\\SOFTWARE\\WOW6432Node", nullptr) == Presence::kThere;
  return Finish(kit, Check(kit));
}
