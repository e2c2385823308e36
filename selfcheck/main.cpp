// velmirant-selfcheck: the self-check of velmirant-cleanup for a test machine. It seeds the vendor's
// leftovers and neighbours that must survive, starts stand-ins for the vendor's programs (copies
// of itself), runs a copy of the velmirant-cleanup.exe beside it for real (only the one it was
// built with: its digest is pinned), checks the report and the machine, removes what it made and
// gives the verdict. `/plan` lists all of it and changes nothing.
//
// Copies of it also serve as its own child programs (first argument "--..."):
//   --hold STOP               a stand-in: runs until STOP appears (15 min at most)
//   --prove                   exit code 0 when it runs as a standard user (not in Administrators, integrity
//                             medium or lower), 1 in Administrators, 2 above medium, 3 when it cannot tell
//   --probe FILE KEY          whether this token may delete FILE and write to KEY ("-": not asked);
//                             exit code bit 0: FILE refused, bit 1: KEY refused
#include "selfcheck.h"

namespace {

// The standard user's token for a run from an administrator's prompt, proven by the child's own
// word: a copy of this program started with it. None, with the reason, where there is none.
KernelHandle ProvenStandardUserToken(Kit& kit, std::wstring& why) {
  KernelHandle token(MakeStandardUserToken(why));
  bool existed = false;
  const DWORD proof =
      token.Valid() && OpenWorkArea(kit, true, existed, why) ? RunKitCopy(kit, token.Get(), {L"--prove"}, why) : 255;
  if (proof == 1) why = L"a program started with the token made from this one is still in Administrators";
  if (proof == 2) why = L"a program started with the token made from this one runs above medium integrity";
  if (proof == 3) why = L"a program started with the token made from this one cannot tell what it is";
  if (proof != 0) token.Reset();
  return token;
}

// An earlier run's leftovers go first, the per-user ones with the standard user's token, which an
// administrator's prompt proves first (`prove`: also where there are none). 0 when none stays,
// else the exit code (the reason said): 1 where the work folder is refused, 2 where some of them stay.
int RemoveEarlierRun(Kit& kit, bool prove, bool& found, std::wstring& noToken) {
  std::wstring why;
  if (!OpenWorkArea(kit, prove, found, why)) {
    Say(kit, L"Nothing was checked: " + why + L".");
    return 1;
  }
  if (kit.admin && (prove || found)) kit.userToken = ProvenStandardUserToken(kit, noToken);
  if (!found) return 0;
  Say(kit, L"An earlier run left what it made (kept, stopped or crashed): removing that first.");
  if (CleanUp(kit, L"") == 0) return 0;
  Say(kit, L"Nothing was checked: what an earlier run made stays (see above).");
  return 2;
}

int Check(Kit& kit) {
  std::vector<Run> runs;
  if (kit.admin && !kit.options.userOnly) runs.push_back({L"elevated", false, nullptr, L"report-elevated.txt", {}, 0, {}, {}});
  runs.push_back({L"standard user", true, nullptr, L"report-standard-user.txt", {}, 0, {}, {}});

  if (!kit.options.cleanUpOnly && !Exists(kit.tool)) {
    Say(kit, L"velmirant-cleanup.exe is not beside this program: unpack the whole zip first.");
    return 1;
  }
  // Before anything is made or run: this program, and the tool it was released with.
  std::wstring why;
  if (!ReadImages(kit, why)) {
    Say(kit, L"Refused: " + why + L".");
    return 1;
  }
  if (kit.options.plan) {
    Say(kit, L"The self-check would make and expect this, run by run (nothing is changed now):");
    for (const Run& run : runs) PrintPlan(kit, run);
    Say(kit, L"Each run's clean-up removes, last made first, what the record in " + kit.places.work +
                 L" names, where it is still what the self-check made: keys only when empty. The checks after the "
                 L"tool: the stand-ins ended and the neighbour running, the vendor's per-user folder gone, every file "
                 L"of each neighbour tree there, each seeded registry target gone and each neighbour there.");
    return 0;
  }
  if (kit.options.cleanUpOnly) {
    bool found = false;
    std::wstring noToken;
    if (const int code = RemoveEarlierRun(kit, false, found, noToken)) return code;
    Say(kit, found ? L"Everything an earlier run made is removed." : L"No earlier run left anything.");
    return 0;
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
  if (!OpenResults(kit, why) || !CreateResultFile(kit, L"result.txt", kit.resultFile, why)) {
    Say(kit, L"The result folder \"" + kit.results + L"\" is refused: " + why + L". Nothing was done.");
    return 1;
  }
  Say(kit, L"The tool: " + kit.tool + L", its image's digest (Authenticode SHA-256) " + Wide(kit.toolDigest) +
               L", the one this self-check was released with.");
  for (Run& run : runs) {
    run.report = kit.results + L"\\" + run.report;
    if (!RemoveFile(run.report, why)) {
      Say(kit, L"The report " + run.report + L" from an earlier run is refused: " + why + L". Nothing was done.");
      return 1;
    }
  }
  bool found = false;
  std::wstring noToken;
  if (const int code = RemoveEarlierRun(kit, true, found, noToken)) return code;

  bool noStandardRun = false;
  if (kit.admin && !kit.userToken.Valid()) {
    Say(kit, L"standard-user run: not possible here: " + noToken);
    Say(kit, runs.size() == 1 ? L"Nothing was checked."
                              : L"The verdict below covers the elevated run only, without the per-user part.");
    if (runs.size() == 1) ++kit.problems;
    runs.pop_back();
    noStandardRun = true;
  }
  bool kept = false;
  for (Run& run : runs) {
    if (run.standardUser && kit.admin) run.token = kit.userToken.Get();
    if (run.standardUser && !kit.admin && kit.limitedAdmin) {
      Say(kit, L"Note: this prompt's token reports itself limited (UAC's filtered token, not elevated), yet it is in "
               L"Administrators: Wine's is so; on Windows a filtered token has Administrators for deny only.");
    }
    if (!OneRun(kit, run)) {
      kept = true;
      break;
    }
  }
  // What was made outside a run (the kit's copy that proved a token) goes too.
  if (!kept && Exists(kit.places.work)) CleanUp(kit, L"");
  Say(kit, kit.problems == 0 ? L"SELF-CHECK PASSED" : L"SELF-CHECK FAILED: " + std::to_wstring(kit.problems) + L" problems");
  if (kit.left > 0) {
    Say(kit, L"CLEAN-UP INCOMPLETE: " + std::to_wstring(kit.left) + L" things the self-check made are still there (see above)");
  }
  Say(kit, L"The reports and this result are in \"" + kit.results + L"\".");
  if (kit.problems > 0) return 1;
  if (kit.left > 0) return 2;
  return noStandardRun ? 3 : 0;
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

bool KnownFolder(platform::KnownFolder id, std::wstring& path) {
  platform::KnownFolderPath found;
  if (platform::GetKnownFolderPath(id, found) != 0 || found.Get() == nullptr) return false;
  path = found.Get();
  return true;
}

// Where everything is. An administrator's work area is one only Administrators and SYSTEM may
// change (the program data folder's, never a path from the environment, which the user sets); a
// standard user's is the user's own temporary folder.
bool FindPlaces(Kit& kit) {
  // Paths are compared with final paths, which never use short (8.3) names: %TEMP% often does.
  kit.self = LongPath(ModulePath());
  kit.folder = kit.self.substr(0, kit.self.find_last_of(L'\\'));
  kit.tool = kit.folder + L"\\velmirant-cleanup.exe";
  const std::wstring results = kit.options.resultFolder.empty() ? L"results" : kit.options.resultFolder;
  // A relative result folder is taken from this program's folder, not the current one (System32
  // under "Run as administrator"); the path is used as it is, so a UNC folder needs no drive.
  kit.results = FullPath(IsRelativeFolder(results) ? kit.folder + L"\\" + results : results);
  std::wstring roaming, programFiles, work;
  wchar_t windows[MAX_PATH + 1];
  const UINT windowsLength = GetSystemWindowsDirectoryW(windows, MAX_PATH + 1);
  if (kit.admin) {
    if (!KnownFolder(platform::KnownFolder::ProgramData, work)) return false;
  } else {
    wchar_t temp[MAX_PATH + 1];
    const DWORD tempLength = GetTempPathW(MAX_PATH + 1, temp);
    if (tempLength == 0 || tempLength > MAX_PATH) return false;
    work = LongPath(std::wstring(temp, tempLength));
  }
  if (!work.empty() && work.back() == L'\\') work.pop_back();
  if (kit.self.empty() || windowsLength == 0 || windowsLength > MAX_PATH ||
      !KnownFolder(platform::KnownFolder::RoamingAppData, roaming) ||
      !KnownFolder(platform::KnownFolder::ProgramFilesX86, programFiles)) {
    return false;
  }
  kit.places = MakeKitPlaces(roaming, programFiles, work + L"\\" + kWorkName, std::wstring(windows, windowsLength));
  kit.record = kit.places.work + L"\\record.txt";
  kit.stop = kit.places.work + L"\\stop";
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // First thing: no DLL is loaded from this program's folder (often Downloads) from here on.
  platform::RestrictDllSearch();
  const std::vector<std::wstring> arguments(argv + 1, argv + argc);
  if (argc == 3 && arguments[0] == L"--hold") return Hold(arguments[1]);
  if (argc == 2 && arguments[0] == L"--prove") return ProveStandardUser();
  if (argc == 4 && arguments[0] == L"--probe") return Probe(arguments[1], arguments[2]);

  Kit kit;
  std::wstring error;
  if (!ParseKitOptions(arguments, kit.options, error)) {
    WriteOut(GetStdHandle(STD_OUTPUT_HANDLE), error + L"\r\n" + kKitUsage);
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
  const TOKEN_ELEVATION_TYPE type = ElevationType();
  kit.admin = InAdministrators(member) && member && type != TokenElevationTypeLimited;
  kit.limitedAdmin = member && type == TokenElevationTypeLimited;
  // Elevated outside Administrators (Backup Operators, say), the kit would work in the user's own
  // temporary folder, which the user's programs that are not elevated may change.
  if (!kit.admin && IsElevated()) {
    Say(kit, L"This prompt is elevated, yet not as a member of Administrators: run the self-check from an");
    Say(kit, L"administrator's command prompt, or from a standard user's.");
    return Finish(kit, 1);
  }
  if (!FindPlaces(kit)) {
    Say(kit, L"Cannot tell where this program, the temporary folder or the known folders are (" + Code(GetLastError()) + L").");
    return Finish(kit, 1);
  }
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  kit.wine = ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  kit.machineBranch = RegistryPresence(L"HKLM\\SOFTWARE\\WOW6432Node", nullptr) == Presence::kThere;
  return Finish(kit, Check(kit));
}
