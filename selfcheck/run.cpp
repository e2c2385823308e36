// One run: seed, start the stand-ins, run the tool, check the report and the machine, clean up.
#include "selfcheck.h"

// What the program folder's and entry 12's lines must carry in this run, as on Windows.
void DueCodes(const Kit& kit, const Run& run, const Places& places, long& programCode, long& machineCode) {
  programCode = places.seedsProgramFolder && run.standardUser ? 5 : 0;
  machineCode = !kit.machineBranch ? 2 : run.standardUser ? 5 : places.seedsMachine ? 0 : 2;
}

namespace {

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
  const DWORD refused = run.token != nullptr ? RunKitCopy(kit, run.token, {L"--probe", file, key}, why)
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

// Per-user things are looked at as the user, as they were made: no link the user set on the way
// leads an administrator's look elsewhere. False, with a problem, where that cannot be done.
bool ActAsMaker(Kit& kit, Run& run, const std::wstring& path, const ActingAs& actor) {
  if (!actor.Failed()) return true;
  Problem(kit, run, path + L": cannot be checked as the standard user (" + Code(GetLastError()) + L")");
  return false;
}

// Every file of a seeded tree there, and still the one the kit made: a copy put back is not.
void CheckTree(Kit& kit, Run& run, const std::wstring& folder) {
  const ActingAs actor(ActorFor(kit, folder));
  if (!ActAsMaker(kit, run, folder, actor)) return;
  for (const auto& made : kit.madeFiles) {
    if (made.first.compare(0, folder.size() + 1, folder + L"\\") != 0) continue;
    FileFacts found;
    const Presence presence = ReadFileFacts(made.first, found);
    if (presence == Presence::kGone) Problem(kit, run, made.first + L" is gone, but must stay");
    if (presence == Presence::kUnknown) Problem(kit, run, made.first + L": cannot tell what it is (" + Code(GetLastError()) + L")");
    if (presence == Presence::kThere && !SameFile(made.second, found)) {
      Problem(kit, run, made.first + L" is not the file the self-check made: it was replaced or changed");
    }
  }
}

void CheckGone(Kit& kit, Run& run, const std::wstring& folder) {
  const ActingAs actor(ActorFor(kit, folder));
  if (!ActAsMaker(kit, run, folder, actor)) return;
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

// The held file, as the kit's own handle shows it: its deletion pending, or no name left (POSIX
// deletion), lets it go at once, so that a classic deletion can end; at another name, it was moved.
void Watch(FileHandle& held, const std::wstring& path, HeldFileWatch& watch) {
  FILE_STANDARD_INFO info = {};
  std::wstring finalPath;
  if (!held.Valid() || !GetFileInformationByHandleEx(held.Get(), FileStandardInfo, &info, sizeof info)) return;
  if (info.DeletePending || info.NumberOfLinks == 0) {
    watch.deletionSeen = true;
    held.Reset();
  } else if (platform::GetFinalPath(held.Get(), finalPath) == 0 && !platform::SamePath(PlainPath(finalPath), path)) {
    watch.moved = true;
    held.Reset();
  }
}

// The tool with this run's token, its report to the run's file; the held file watched meanwhile.
void RunTool(Kit& kit, Run& run, const Places& places) {
  std::wstring why;
  FileHandle report;
  const std::wstring name = run.report.substr(run.report.find_last_of(L'\\') + 1);
  CreateResultFile(kit, name, report, why);
  // The tool gets a handle that may only write: not read, delete or change the file otherwise.
  HANDLE output = nullptr;
  if (report.Valid() && !DuplicateHandle(GetCurrentProcess(), report.Get(), GetCurrentProcess(), &output,
                                         FILE_WRITE_DATA | FILE_APPEND_DATA | SYNCHRONIZE, TRUE, 0)) {
    why = Failed(L"DuplicateHandle");
  }
  const KernelHandle toolOutput(output);
  // Held with delete sharing, as a scanner holds a file: only the tool's deletion may take it.
  const std::wstring heldPath = places.vendorUser + L"\\" + kHeldFile;
  FileHandle held;
  FileFacts found;
  for (const auto& made : kit.madeFiles) {
    if (!places.seedsUser || made.first != heldPath) continue;
    const ActingAs actor(ActorFor(kit, heldPath));
    if (!ActAsMaker(kit, run, heldPath, actor)) break;
    held = FileHandle(CreateFileW(heldPath.c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    platform::FileIdentity identity;
    if (!held.Valid() || platform::GetFileIdentity(held.Get(), identity) != 0 || identity.index != made.second.index ||
        identity.volume != made.second.volume) {
      Problem(kit, run, heldPath + L" is not the file the self-check made, or cannot be held");
      held.Reset();
    }
  }
  KernelHandle tool(toolOutput.Valid() ? StartCopy(kit, run.token, kToolCopy, true, {}, toolOutput.Get(), why) : nullptr);
  DWORD code = 255;
  DWORD waited = 0;
  for (; tool.Valid() && WaitForSingleObject(tool.Get(), 10) == WAIT_TIMEOUT && waited < kToolTimeoutMs; waited += 10) {
    Watch(held, heldPath, run.held);
  }
  Watch(held, heldPath, run.held);
  held.Reset();
  {
    const ActingAs actor(ActorFor(kit, heldPath));
    run.held.goneAfter = !actor.Failed() && PathPresence(heldPath) == Presence::kGone;
  }
  if (tool.Valid() && waited >= kToolTimeoutMs) {
    TerminateProcess(tool.Get(), 255);
    why = L"it did not end within two minutes";
  } else if (tool.Valid()) {
    GetExitCodeProcess(tool.Get(), &code);
  }
  // Read through the kit's own handle: the file cannot have been swapped for a link meanwhile.
  if (report.Valid()) ReadHandle(report.Get(), run.reportText);
  if (!why.empty()) Problem(kit, run, L"the tool did not run: " + why);
  if (code != 0) Problem(kit, run, L"the tool's exit code is " + Code(code) + L", not 0");
}

// The report, the stand-ins, the folders and the registry after the tool.
void CheckAfter(Kit& kit, Run& run, const Places& places, long programCode, long machineCode) {
  ReportExpectation expected;
  for (const wchar_t* name : kTargetStandIns) expected.endedPrograms.push_back(Narrow(name, CP_ACP));
  expected.neighbourProgram = Narrow(kNeighbourStandIn, CP_ACP);
  expected.userFolderLine = ReportPath(places.vendorUser) + " -> 0";
  expected.programFolderLine = ReportPath(places.vendorProgram) + " -> " + std::to_string(programCode);
  expected.registryLines = ExpectedRegistryLines(machineCode, places.seedsUser);
  const ReportCheck check = CheckReport(run.reportText, expected);
  for (const std::string& problem : check.problems) Problem(kit, run, Wide(problem));

  // The stand-ins the tool ended (with its exit code 1: TerminateProcess's), ten seconds for all.
  const ULONGLONG deadline = GetTickCount64() + 10 * 1000;
  for (StandIn& standIn : run.standIns) {
    const bool neighbour = std::wstring(standIn.name) == kNeighbourStandIn;
    const ULONGLONG now = GetTickCount64();
    const DWORD wait = WaitForSingleObject(standIn.process.Get(), neighbour || now >= deadline ? 0 : static_cast<DWORD>(deadline - now));
    DWORD code = 0;
    if (neighbour && wait != WAIT_TIMEOUT) {
      Problem(kit, run, L"the neighbour program " + std::wstring(standIn.name) + L" is no longer running");
    } else if (!neighbour && wait != WAIT_OBJECT_0) {
      Problem(kit, run, L"the stand-in " + std::wstring(standIn.name) + L" is still running");
    } else if (!neighbour && (!GetExitCodeProcess(standIn.process.Get(), &code) || code != 1)) {
      Problem(kit, run, L"the stand-in " + std::wstring(standIn.name) + L" ended, but not by the tool (exit code " + Code(code) + L")");
    }
  }
  if (places.seedsUser && !HeldFileDeleted(run.held)) {
    Problem(kit, run, places.vendorUser + L"\\" + kHeldFile +
                          (run.held.moved ? L" was moved away, not deleted" : L": the self-check did not see its deletion on the handle it held"));
  } else if (places.seedsUser && check.userFolderLineDue) {
    SayRun(kit, run, check.marks == 0 ? L"The held file went at once (deletion with POSIX semantics)."
                                      : L"The held file went after " + std::to_wstring(check.marks) +
                                            L" failed attempt(s), marked !: the classic deletion waited for the self-check to let go.");
  }
  if (places.seedsUser) CheckGone(kit, run, places.vendorUser);
  if (places.seedsUser) CheckTree(kit, run, places.neighbourUser);
  if (places.seedsProgramFolder) {
    CheckTree(kit, run, places.neighbourProgram);
    if (programCode == 0) CheckGone(kit, run, places.vendorProgram);
    if (programCode != 0) CheckTree(kit, run, places.vendorProgram);
  }
  for (const RegistryOutcome& outcome : kRegistryOutcomes) {
    if (outcome.machine ? places.seedsMachine : places.seedsUser) CheckRegistry(kit, run, outcome);
  }
  if (places.seedsMachine) {
    RegistryOutcome vendor = kMachineVendorValue;
    vendor.stays = machineCode != 0;
    CheckRegistry(kit, run, vendor);
  }
}

}  // namespace

// Seeds, starts the stand-ins, runs the tool, checks, and cleans up (unless /keep keeps a failed
// run). False when a kept run's state stays.
bool OneRun(Kit& kit, Run& run) {
  const Places places = PlacesFor(kit, run);
  SayRun(kit, run, !places.seedsUser ? L"Seeding the machine-wide leftovers only: the per-user ones are made only with a "
                                       L"proven standard user's token, and there is none here"
                   : places.seedsProgramFolder ? L"Seeding the per-user and the machine-wide leftovers"
                                               : L"Seeding the per-user leftovers");
  std::wstring why;
  bool existed = false;
  const bool seeded = OpenWorkArea(kit, true, existed, why) && Seed(kit, run, places, why);
  if (!seeded) Problem(kit, run, L"could not seed: " + why);
  long programCode = 0, machineCode = 0;
  DueCodes(kit, run, places, programCode, machineCode);
  if (seeded && places.probes) ProbeCodes(kit, run, places, programCode, machineCode);
  if (seeded && StartStandIns(kit, run)) {
    RunTool(kit, run, places);
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
