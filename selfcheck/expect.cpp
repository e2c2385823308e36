// What the kit seeds and expects after the tool, and the check of the tool's report.
#include <cwchar>

#include "kit.h"

namespace {

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

const wchar_t* const kTreeFolders[4] = {L"cache", L"cache\\deep", L"cache\\deep\\deeper", L"scanned"};
const wchar_t* const kTreeFiles[5] = {L"settings.json", L"cache\\other.bin", L"cache\\deep\\data.bin",
                                      L"cache\\deep\\deeper\\more.bin", kHeldFile};

const RegistrySeed kRegistrySeeds[17] = {
    {false, kRun, L"velmirant.software.autoupdate", SeedType::kProgram, L"autoupdate.exe"},
    {false, kRun, L"velmirant.software.vexdesktop", SeedType::kProgram, L"vexdesktop.exe"},
    {false, kRun, kNeighbourName, SeedType::kProgram, L"neighbour.exe"},
    {false, kApproved, L"velmirant.software.autoupdate", SeedType::kBytes, L"020000000000000000000000"},
    {false, kApproved, L"velmirant.software.vexdesktop", SeedType::kBytes, L"020000000000000000000000"},
    {false, kApproved, kNeighbourName, SeedType::kBytes, L"020000000000000000000000"},
    {false, L"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VelmirantInstall", L"DisplayName",
     SeedType::kText, L"Velmirant"},
    {false, L"HKCU\\Software\\Google\\Chrome\\NativeMessagingHosts\\vexpp_nm", L"", SeedType::kProgram,
     L"vexpp.json"},
    {false, L"HKCU\\Software\\Mozilla\\NativeMessagingHosts\\vexpp_nm", L"", SeedType::kProgram,
     L"vexpp.json"},
    {false, L"HKCU\\Software\\Velmirant", L"Version", SeedType::kText, L"1.0"},
    {false, L"HKCU\\Software\\Velmirant\\distribution", L"Channel", SeedType::kText, L"stable"},
    {false, L"HKCU\\Software\\Velmirant\\vexpp", L"Enabled", SeedType::kNumber, L"1"},
    {false, L"HKCU\\Software\\Velmirant\\unlisted", L"Kept", SeedType::kText, L"yes"},
    {false, L"HKCU\\AppEvents\\Schemes\\Apps\\vexdesktop", L"", SeedType::kText, L"Velmirant"},
    {false, L"HKCU\\Software\\velmirant-selfcheck-neighbour", L"Version", SeedType::kText, L"1.0"},
    {true, kMachineRun, L"velmirant-panelino-distribuce", SeedType::kProgram, L"distribuce.exe"},
    {true, kMachineRun, kNeighbourName, SeedType::kProgram, L"neighbour.exe"},
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

std::vector<std::string> ExpectedRegistryLines(long machineCode, bool userSeeded) {
  std::vector<std::string> lines;
  for (const RegistryLine& line : kRegistryLines) {
    const long code = line.code < 0 ? machineCode : userSeeded ? line.code : 2;
    lines.push_back(std::string(line.text) + " -> " + std::to_string(code));
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

SeedValueData EncodeSeed(const RegistrySeed* seed, const KitPlaces& places) {
  SeedValueData value;
  const std::wstring text = seed == nullptr ? std::wstring(kProbeData) : SeedText(*seed, places);
  if (seed != nullptr && seed->type == SeedType::kNumber) {
    value.type = kRegDword;
    const unsigned long number = std::wcstoul(text.c_str(), nullptr, 10);
    for (int shift = 0; shift < 32; shift += 8) value.bytes.push_back(static_cast<unsigned char>(number >> shift));
  } else if (seed != nullptr && seed->type == SeedType::kBytes) {
    value.type = kRegBinary;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
      value.bytes.push_back(static_cast<unsigned char>(std::wcstoul(text.substr(i, 2).c_str(), nullptr, 16)));
    }
  } else {
    value.type = kRegSz;
    for (std::size_t i = 0; i <= text.size(); ++i) {
      const unsigned unit = i < text.size() ? static_cast<unsigned>(text[i]) & 0xFFFF : 0;
      value.bytes.push_back(static_cast<unsigned char>(unit));
      value.bytes.push_back(static_cast<unsigned char>(unit >> 8));
    }
  }
  return value;
}

std::wstring SeedText(const RegistrySeed& seed, const KitPlaces& places) {
  return seed.type == SeedType::kProgram ? places.absent + L"\\" + seed.data : std::wstring(seed.data);
}
