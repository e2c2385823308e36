#include "kit.h"

#include <cwctype>

namespace {

bool SameLetters(const std::wstring& a, const wchar_t* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i] != L'\0'; ++i) {
    if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i]))) return false;
  }
  return i == a.size() && b[i] == L'\0';
}

const wchar_t* const kRun = L"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t* const kApproved = L"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run";
const wchar_t* const kMachineRun = L"HKLM\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Run";

struct RegistryLine {
  const char* text;
  long code;  // -1: entry 12, whose code the caller gives
};

const RegistryLine kRegistryLines[12] = {
    {"HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run|velmirant.software.autoupdate", 0},
    {"HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run|velmirant.software.vexdesktop", 0},
    {"HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run|"
     "velmirant.software.autoupdate",
     0},
    {"HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run|"
     "velmirant.software.vexdesktop",
     0},
    {"HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VelmirantInstall", 0},
    {"HKEY_CURRENT_USER\\Software\\Google\\Chrome\\NativeMessagingHosts\\vexpp_nm", 0},
    {"HKEY_CURRENT_USER\\Software\\Mozilla\\NativeMessagingHosts\\vexpp_nm", 0},
    {"HKEY_CURRENT_USER\\Software\\Velmirant\\distribution", 0},
    {"HKEY_CURRENT_USER\\Software\\Velmirant\\vexpp", 0},
    // The seeded subkey "unlisted" keeps the vendor key: the tool deletes no key that has subkeys.
    {"HKEY_CURRENT_USER\\Software\\Velmirant", 5},
    {"HKEY_CURRENT_USER\\AppEvents\\Schemes\\Apps\\vexdesktop", 0},
    {"HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Run|velmirant-panelino-distribuce",
     -1},
};

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    std::size_t stop = end;
    if (stop > start && text[stop - 1] == '\r') --stop;
    lines.push_back(text.substr(start, stop - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::string Bracketed(const std::string& text) { return "[" + text + "]"; }

}  // namespace

const wchar_t* const kMachineRunKey = kMachineRun;

const wchar_t kKitUsage[] =
    L"Usage: velmirant-selfcheck.exe [/yes] [/keep] [/user-only] [/plan] [RESULT_FOLDER]\n"
    L"       velmirant-selfcheck.exe /cleanup\n"
    L"  /yes        no question before seeding\n"
    L"  /keep       a failed run's seeds stay for a look (the next run or /cleanup removes them)\n"
    L"  /user-only  from an administrator's prompt, only the standard user's run\n"
    L"  /plan       list everything a run would make and every report line it expects; change nothing\n"
    L"  /cleanup    remove what an earlier run left (kept, stopped or crashed)\n"
    L"  RESULT_FOLDER  reports and result (default: \"results\" beside this program)\n";

bool ParseKitOptions(const std::vector<std::wstring>& arguments, KitOptions& options, std::wstring& error) {
  struct Flag {
    const wchar_t* name;
    bool KitOptions::*field;
  };
  static const Flag kFlags[] = {{L"/yes", &KitOptions::yes},
                                {L"/keep", &KitOptions::keep},
                                {L"/cleanup", &KitOptions::cleanUpOnly},
                                {L"/user-only", &KitOptions::userOnly},
                                {L"/plan", &KitOptions::plan}};
  options = KitOptions();
  bool haveFolder = false;
  for (const std::wstring& argument : arguments) {
    bool known = false;
    for (const Flag& flag : kFlags) {
      if (SameLetters(argument, flag.name)) {
        options.*flag.field = true;
        known = true;
      }
    }
    if (known) continue;
    if (argument.empty() || argument[0] == L'/' || haveFolder) {
      error = L"Unknown argument: \"" + argument + L"\".";
      return false;
    }
    options.resultFolder = argument;
    haveFolder = true;
  }
  if (options.plan && options.cleanUpOnly) {
    error = L"/plan and /cleanup do not go together.";
    return false;
  }
  return true;
}

bool IsRelativeFolder(const std::wstring& folder) {
  if (folder.size() >= 2 && folder[1] == L':') return false;
  return folder.empty() || (folder[0] != L'\\' && folder[0] != L'/');
}

std::wstring FormatRecordLine(const MadeThing& thing) {
  std::wstring line(1, static_cast<wchar_t>(thing.kind));
  line += L'\t';
  line += thing.path;
  if (thing.kind == MadeKind::kValue) line += L'\t' + thing.name;
  return line + L'\n';
}

ParsedRecord ParseRecord(const std::wstring& text) {
  ParsedRecord record;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1) {
    const std::wstring line = text.substr(start, end - start);
    MadeThing thing{static_cast<MadeKind>(line.empty() ? L'\0' : line[0]), L"", L""};
    const bool known = thing.kind == MadeKind::kFolder || thing.kind == MadeKind::kJunction ||
                       thing.kind == MadeKind::kKey || thing.kind == MadeKind::kValue ||
                       thing.kind == MadeKind::kProgram;
    const std::size_t tab = line.find(L'\t', 2);
    if (known && line.size() > 2 && line[1] == L'\t') {
      thing.path = line.substr(2, tab == std::wstring::npos ? std::wstring::npos : tab - 2);
      if (thing.kind == MadeKind::kValue && tab != std::wstring::npos) thing.name = line.substr(tab + 1);
    }
    // A value needs its name's tab; nothing else may hold one.
    const bool whole = !thing.path.empty() && (thing.kind == MadeKind::kValue) == (tab != std::wstring::npos) &&
                       thing.name.find(L'\t') == std::wstring::npos;
    if (known && whole) {
      record.things.push_back(thing);
    } else {
      record.unreadable.push_back(line);
    }
  }
  return record;
}

const wchar_t* const kTreeFolders[4] = {L"cache", L"cache\\deep", L"cache\\deep\\deeper", L"scanned"};
const wchar_t* const kTreeFiles[5] = {L"settings.json", L"cache\\other.bin", L"cache\\deep\\data.bin",
                                      L"cache\\deep\\deeper\\more.bin", kHeldFile};

const RegistrySeed kRegistrySeeds[17] = {
    {false, kRun, L"velmirant.software.autoupdate", SeedType::kText, L"C:\\Velmirant\\autoupdate.exe"},
    {false, kRun, L"velmirant.software.vexdesktop", SeedType::kText, L"C:\\Velmirant\\vexdesktop.exe"},
    {false, kRun, kNeighbourName, SeedType::kText, L"C:\\Neighbour\\neighbour.exe"},
    {false, kApproved, L"velmirant.software.autoupdate", SeedType::kBytes, L"020000000000000000000000"},
    {false, kApproved, L"velmirant.software.vexdesktop", SeedType::kBytes, L"020000000000000000000000"},
    {false, kApproved, kNeighbourName, SeedType::kBytes, L"020000000000000000000000"},
    {false, L"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VelmirantInstall", L"DisplayName",
     SeedType::kText, L"Velmirant"},
    {false, L"HKCU\\Software\\Google\\Chrome\\NativeMessagingHosts\\vexpp_nm", L"", SeedType::kText,
     L"C:\\Velmirant\\vexpp.json"},
    {false, L"HKCU\\Software\\Mozilla\\NativeMessagingHosts\\vexpp_nm", L"", SeedType::kText,
     L"C:\\Velmirant\\vexpp.json"},
    {false, L"HKCU\\Software\\Velmirant", L"Version", SeedType::kText, L"1.0"},
    {false, L"HKCU\\Software\\Velmirant\\distribution", L"Channel", SeedType::kText, L"stable"},
    {false, L"HKCU\\Software\\Velmirant\\vexpp", L"Enabled", SeedType::kNumber, L"1"},
    {false, L"HKCU\\Software\\Velmirant\\unlisted", L"Kept", SeedType::kText, L"yes"},
    {false, L"HKCU\\AppEvents\\Schemes\\Apps\\vexdesktop", L"", SeedType::kText, L"Velmirant"},
    {false, L"HKCU\\Software\\velmirant-selfcheck-neighbour", L"Version", SeedType::kText, L"1.0"},
    {true, kMachineRun, L"velmirant-panelino-distribuce", SeedType::kText, L"C:\\Velmirant\\distribuce.exe"},
    {true, kMachineRun, kNeighbourName, SeedType::kText, L"C:\\Neighbour\\neighbour.exe"},
};

const RegistryOutcome kRegistryOutcomes[16] = {
    {false, kRun, L"velmirant.software.autoupdate", false},
    {false, kRun, L"velmirant.software.vexdesktop", false},
    {false, kApproved, L"velmirant.software.autoupdate", false},
    {false, kApproved, L"velmirant.software.vexdesktop", false},
    {false, L"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VelmirantInstall", nullptr, false},
    {false, L"HKCU\\Software\\Google\\Chrome\\NativeMessagingHosts\\vexpp_nm", nullptr, false},
    {false, L"HKCU\\Software\\Mozilla\\NativeMessagingHosts\\vexpp_nm", nullptr, false},
    {false, L"HKCU\\Software\\Velmirant\\distribution", nullptr, false},
    {false, L"HKCU\\Software\\Velmirant\\vexpp", nullptr, false},
    {false, L"HKCU\\AppEvents\\Schemes\\Apps\\vexdesktop", nullptr, false},
    {false, L"HKCU\\Software\\Velmirant", nullptr, true},
    {false, L"HKCU\\Software\\Velmirant\\unlisted", nullptr, true},
    {false, kRun, kNeighbourName, true},
    {false, kApproved, kNeighbourName, true},
    {false, L"HKCU\\Software\\velmirant-selfcheck-neighbour", nullptr, true},
    {true, kMachineRun, kNeighbourName, true},
};

const RegistryOutcome kMachineVendorValue = {true, kMachineRun, L"velmirant-panelino-distribuce", false};

const wchar_t* const kTargetStandIns[3] = {L"vexdesktop.exe", L"vexpp.exe", L"toolbar-panelino-host.exe"};

std::vector<std::string> ExpectedRegistryLines(long machineCode) {
  std::vector<std::string> lines;
  for (const RegistryLine& line : kRegistryLines) {
    lines.push_back(std::string(line.text) + " -> " + std::to_string(line.code < 0 ? machineCode : line.code));
  }
  return lines;
}

ReportCheck CheckReport(const std::string& report, const ReportExpectation& expected) {
  ReportCheck check;
  const std::vector<std::string> lines = SplitLines(report);
  std::size_t line = 0;
  std::vector<bool> ended(expected.endedPrograms.size(), false);
  for (; line < lines.size() && !lines[line].empty(); ++line) {
    for (std::size_t i = 0; i < ended.size(); ++i) {
      ended[i] = ended[i] || lines[line] == expected.endedPrograms[i] + ": TerminateProcess() OK";
    }
    if (!expected.neighbourProgram.empty() && lines[line].find(expected.neighbourProgram) != std::string::npos) {
      check.problems.push_back("the report names the neighbour program: " + Bracketed(lines[line]));
    }
  }
  for (std::size_t i = 0; i < ended.size(); ++i) {
    if (!ended[i]) check.problems.push_back("no report line " + Bracketed(expected.endedPrograms[i] + ": TerminateProcess() OK"));
  }
  if (line == lines.size()) {
    check.problems.push_back("the report has no empty line after the process lines");
    return check;
  }
  std::vector<std::string> due = {expected.userFolderLine, expected.programFolderLine, ""};
  due.insert(due.end(), expected.registryLines.begin(), expected.registryLines.end());
  std::size_t index = 0;
  for (++line; line < lines.size(); ++line, ++index) {
    std::string text = lines[line];
    if (index >= due.size()) {
      check.problems.push_back("the report has a line more than due: " + Bracketed(text));
      continue;
    }
    // The per-user folder may take more than one attempt: one "!" before its path for each failed one.
    std::size_t marks = 0;
    while (index < 2 && marks < text.size() && text[marks] == '!') ++marks;
    if (index == 0) {
      check.marks = static_cast<int>(marks);
      check.userFolderLineDue = text.substr(marks) == due[0];
    }
    if (index == 1 && marks > 0) {
      check.problems.push_back("the program folder's line has " + std::to_string(marks) + " marks; it gets one attempt");
    }
    if (text.substr(marks) != due[index]) {
      check.problems.push_back("report line " + Bracketed(text) + " where " + Bracketed(due[index]) + " is due");
    }
  }
  if (index < due.size()) {
    check.problems.push_back("the report ends after " + std::to_string(index) + " of the " + std::to_string(due.size()) +
                             " lines due after the process lines");
  }
  return check;
}
