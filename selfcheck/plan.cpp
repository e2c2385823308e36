// /plan: everything a run would make and expect, run by run; nothing is changed.
#include "selfcheck.h"

void PrintPlan(Kit& kit, const Run& run) {
  const Places places = PlacesFor(kit, run);
  const auto line = [&](const std::wstring& text) { SayRun(kit, run, text); };
  line(run.token != nullptr || (kit.admin && run.standardUser)
           ? L"runs with a standard user's token made from this one, proven not in Administrators and at medium integrity"
           : L"runs with this prompt's own token");
  if (!places.seedsUser) {
    line(L"per-user seeds: only with a proven standard user's token (where there is one, as the standard user's run lists them)");
  }
  for (const std::wstring& folder : SeededFolders(places)) {
    line(L"folder  " + folder);
    for (const wchar_t* sub : kTreeFolders) line(L"folder  " + folder + L"\\" + sub);
    for (const wchar_t* file : kTreeFiles) line(L"file    " + folder + L"\\" + file);
  }
  if (places.probes && places.seedsProgramFolder) {
    line(L"folder  " + places.probeFolder);
    line(L"file    " + places.probeFolder + L"\\probe.txt");
  }
  if (places.seedsUser) line(L"junction " + places.junction + L" -> " + places.junctionTarget + L" (where the file system makes one)");
  std::wstring lastKey;
  for (const RegistrySeed& seed : kRegistrySeeds) {
    if (!(seed.machine ? places.seedsMachine : places.seedsUser)) continue;
    if (seed.key != lastKey) line(L"key     " + std::wstring(seed.key) + L" (with the keys above it, where missing)");
    lastKey = seed.key;
    const wchar_t* type = seed.type == SeedType::kNumber ? L"REG_DWORD" : seed.type == SeedType::kBytes ? L"REG_BINARY" : L"REG_SZ";
    line(L"value   " + std::wstring(seed.key) + L"|" + (*seed.name != L'\0' ? seed.name : L"(default)") + L" = " + type +
         L" " + SeedText(seed, places));
  }
  if (places.probes && kit.machineBranch) line(L"value   " + std::wstring(kMachineRunKey) + L"|" + kProbeValue + L" (a probe, removed at once)");
  line(L"folder  " + kit.places.work + (kit.admin ? L" (the record and the stand-ins; only Administrators and SYSTEM may change it)"
                                                  : L" (the record and the stand-ins)") + L", held while the run lasts");
  for (const wchar_t* name : kTargetStandIns) line(L"program " + StandInPath(kit, name) + L" (a target: the tool must end it)");
  line(L"program " + StandInPath(kit, kNeighbourStandIn) + L" (a neighbour: it must keep running)");
  if (places.seedsUser) {
    line(L"held    " + places.vendorUser + L"\\" + kHeldFile + L" (by the self-check, with delete sharing, until it sees its deletion)");
  }
  line(L"program " + kit.places.work + L"\\" + kToolCopy + L" (a copy of " + kit.tool + L", Authenticode SHA-256 " +
       Wide(kit.toolDigest) + L"), its report to " + kit.results + L"\\" +
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
  const std::vector<std::string> registry = ExpectedRegistryLines(machineCode, places.seedsUser);
  for (std::size_t i = 0; i < registry.size(); ++i) line(L"report line: " + Wide(registry[i]) + (i == 11 ? probed : L""));
}
