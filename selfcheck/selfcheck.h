// The self-check's Windows side: what its steps share. Each step has a file of its own.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "kit.h"
#include "platform/platform.h"

constexpr DWORD kPollMs = 50;
constexpr DWORD kToolTimeoutMs = 2 * 60 * 1000;

// CreateFileW's handles (none: INVALID_HANDLE_VALUE), and processes' and tokens' (none: null).
using FileHandle = platform::FileHandle;
using KernelHandle = platform::ProcessHandle;

struct Key {
  HKEY value = nullptr;
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() {
    if (value != nullptr) RegCloseKey(value);
  }
};

struct Kit {
  KitOptions options;
  std::wstring self, folder, tool, results, record, stop;
  // The kit's own image and the tool's as read when it started: whoever may write beside the kit
  // (often Downloads) cannot change what it runs later, which are copies of these in the work area.
  // The tool's must have the digest this kit was built with; each copy is checked against these.
  std::string selfImage, toolImage;
  std::string selfDigest, toolDigest;  // Authenticode digests, in hex (as shown)
  FileHandle selfFile, toolFile;  // held from then on without write or delete sharing
  // From an administrator's prompt: the standard user's token, proven, which the standard user's
  // run runs with and with which the per-user seeds are made and removed; none where it cannot be
  // had, and then nothing per-user is made or removed.
  KernelHandle userToken;
  FileHandle workFolder;       // held without delete sharing while it is there
  bool workAreaNoted = false;  // the note that this platform keeps no security descriptor, said once
  std::vector<std::pair<std::wstring, FileFacts>> madeFiles;  // the files seeded, as made
  KitPlaces places;
  bool admin = false;
  bool wine = false;
  bool machineBranch = false;  // the 32-bit branch, where entry 12 lives: 64-bit Windows only
  bool limitedAdmin = false;   // in Administrators, by a token that reports itself limited
  std::vector<FileHandle> resultsFolders;  // it and each folder above it, held while the kit writes there
  FileHandle resultFile;
  int problems = 0;
  int left = 0;  // things the kit made that stay
};

struct StandIn {
  const wchar_t* name;
  KernelHandle process;
};

struct Run {
  const wchar_t* label;  // "elevated" or "standard user"
  bool standardUser;
  HANDLE token;        // a made standard user's token; null: the kit's own
  std::wstring report;
  std::string reportText;
  int problems;
  std::vector<StandIn> standIns;  // the targets, then the neighbour
  HeldFileWatch held;
};

// Where things are for a run, and what it seeds; the same for /plan and for the run itself.
struct Places : KitPlaces {
  bool seedsUser = false;           // made as the standard user: by that user's kit, or with the proven token
  bool seedsProgramFolder = false;  // from an administrator's prompt
  bool seedsMachine = false;        // and only where the 32-bit branch's Run key is
  bool probes = false;              // a standard user's run on a platform that grants it what Windows refuses
};

// ---- Text and output (output.cpp) ----
std::string Narrow(const std::wstring& text, UINT codePage);
std::wstring Wide(const std::string& text);
std::wstring Code(DWORD code);
std::wstring Failed(const wchar_t* call);
std::string ReportPath(std::wstring path);  // "/" for "\", in the ANSI code page
void WriteOut(HANDLE out, const std::wstring& text);
void Say(Kit& kit, const std::wstring& line);  // on the console and in the result file
void SayRun(Kit& kit, const Run& run, const std::wstring& line);
void Problem(Kit& kit, Run& run, const std::wstring& what);
int Finish(const Kit& kit, int code);
bool AskToGoOn();

// ---- Files (files.cpp) ----
enum class Presence { kThere, kGone, kUnknown };
Presence PathPresence(const std::wstring& path);
bool Exists(const std::wstring& path);
// `facts`, where given, receives what the new file is.
bool WriteWholeFile(const std::wstring& path, const std::string& bytes, DWORD disposition, FileFacts* facts = nullptr);
bool ReadWholeFile(const std::wstring& path, std::string& bytes);
bool ReadHandle(HANDLE file, std::string& bytes);  // from its start
// What the file at `path` itself (never a link's target) is; kGone where there is none.
Presence ReadFileFacts(const std::wstring& path, FileFacts& facts);
// A final path ("\\?\C:\...", "\\?\UNC\server\share\...") in the form the kit's paths have.
std::wstring PlainPath(const std::wstring& finalPath);
// Whether the open handle is the entry `path` names itself, not a link or what a link reaches.
bool IsEntryItself(HANDLE handle, const std::wstring& path, bool folder, std::wstring& why);
// Holds the kit's own image and, unless only cleaning up, the tool's, and reads them; the tool's
// must be the one this kit was built with. False with the reason.
bool ReadImages(Kit& kit, std::wstring& why);
// Opens the result folder without following links, from the drive down, each folder held before
// the one below it is opened or made; false with the reason where one of them is a link.
bool OpenResults(Kit& kit, std::wstring& why);
// The path with each name in full, not in its short (8.3) form, where it is there; else as given.
std::wstring LongPath(const std::wstring& path);
// A file goes, through a handle that is that plain file; a link stays (false).
bool RemoveFile(const std::wstring& path, std::wstring& why);
// A new file in the held result folder, replacing a plain one of that name; never through a link.
bool CreateResultFile(Kit& kit, const std::wstring& name, FileHandle& file, std::wstring& why);

// ---- The work area and the record (workarea.cpp), the clean-up (cleanup.cpp) ----
// The work folder, made where missing (`create`) and checked where it is there, then held until the
// clean-up removes it; `existed` tells whether it was there.
bool OpenWorkArea(Kit& kit, bool create, bool& existed, std::wstring& why);
bool Remember(Kit& kit, MadeKind kind, const std::wstring& path, const std::wstring& name = std::wstring());
bool MakeFolder(Kit& kit, const std::wstring& path, std::wstring& why);
int CleanUp(Kit& kit, const std::wstring& label);  // how many things stay

// ---- The registry and the seeds (seed.cpp) ----
LONG OpenKey(const std::wstring& key, REGSAM access, Key& opened);
bool SplitKey(const std::wstring& key, HKEY& root, std::wstring& subkey);
Presence RegistryPresence(const std::wstring& key, const wchar_t* name);
Places PlacesFor(const Kit& kit, const Run& run);
std::vector<std::wstring> SeededFolders(const Places& places);
bool Seed(Kit& kit, Run& run, const Places& places, std::wstring& why);

// ---- Programs and stand-ins (programs.cpp) ----
// A new copy of `image` at `path` in the held work area, recorded first (a file there before goes
// through a handle that is that plain file, else it is refused), then held in `copy` without write
// or delete sharing once it is found at its own path with the Authenticode digest `digest`.
bool InstallProgram(Kit& kit, const std::wstring& path, const std::string& image, const std::string& digest,
                    FileHandle& copy, std::wstring& why);
// The copy `name` of the tool or the kit (Kit::toolImage or selfImage) installed and started with
// `token`; `out`, where given, is the one handle it inherits: its standard output. Null with the reason.
HANDLE StartCopy(Kit& kit, HANDLE token, const std::wstring& name, bool tool, const std::vector<std::wstring>& arguments,
                 HANDLE out, std::wstring& why);
// This kit's copy in the work area, run with `token` to its end.
DWORD RunKitCopy(Kit& kit, HANDLE token, const std::vector<std::wstring>& arguments, std::wstring& why);
std::wstring StandInPath(const Kit& kit, const wchar_t* name);
bool StartStandIns(Kit& kit, Run& run);
int Hold(const std::wstring& stop);
int Probe(const std::wstring& file, const std::wstring& key);

// ---- Tokens (token.cpp) ----
bool IsLocalSystem();
bool InAdministrators(BOOL& member);
int ProveStandardUser();
TOKEN_ELEVATION_TYPE ElevationType();
bool IsElevated();
HANDLE MakeStandardUserToken(std::wstring& why);

// While it lives, this thread acts with the token's rights; with a null token it changes nothing.
// Where the token cannot be taken on, Failed() says so, and the step stops.
class ActingAs {
 public:
  explicit ActingAs(HANDLE token) : active_(token != nullptr && ImpersonateLoggedOnUser(token)), failed_(token != nullptr && !active_) {}
  ~ActingAs() {
    if (active_) RevertToSelf();
  }
  ActingAs(const ActingAs&) = delete;
  ActingAs& operator=(const ActingAs&) = delete;
  bool Failed() const { return failed_; }

 private:
  bool active_, failed_;
};
// Whether a thing is per-user: a folder under the roaming folder, a key of HKCU.
bool PerUser(const Kit& kit, const std::wstring& path);
// Whom a per-user thing is made and removed as: the standard user's token from an administrator's
// prompt, so that no link or known folder the user set can send an administrator's write or
// deletion where only administrators may go. Null: this process (a standard user's kit).
HANDLE ActorFor(const Kit& kit, const std::wstring& path);
// The process security of a stand-in the tool must end as a standard user; null where none is needed.
bool StandInSecurity(const Kit& kit, std::vector<unsigned char>& descriptor);

// ---- One run and its checks (run.cpp), and /plan (plan.cpp) ----
void DueCodes(const Kit& kit, const Run& run, const Places& places, long& programCode, long& machineCode);
bool OneRun(Kit& kit, Run& run);
void PrintPlan(Kit& kit, const Run& run);
