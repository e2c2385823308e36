// The self-check's parts that need no Windows: its options, the record of what it made, what it
// seeds and expects, and the check of the tool's report. The unit tests build them natively.
#pragma once

#include <string>
#include <vector>

// ---- Options -----------------------------------------------------------------------------------

struct KitOptions {
  bool yes = false;
  bool keep = false;
  bool cleanUpOnly = false;
  bool userOnly = false;
  bool plan = false;
  std::wstring resultFolder;  // as given; empty: "results" beside the program
};

// Options in any order, letters in any case. False, with `error` set, for anything else.
bool ParseKitOptions(const std::vector<std::wstring>& arguments, KitOptions& options, std::wstring& error);

extern const wchar_t kKitUsage[];

// Whether a result folder is taken from the program's folder: neither "X:..." nor "\..." nor "/...".
bool IsRelativeFolder(const std::wstring& folder);

// ---- The record of what the kit made -----------------------------------------------------------
// One line per thing, written (and flushed) before the thing is made, so a run stopped anywhere
// leaves a record of all it may have made. Only whole lines count: a line cut short names nothing.

enum class MadeKind : wchar_t {
  kFolder = L'D',    // a folder the kit made, removed with all it holds
  kJunction = L'J',  // a junction, removed as a link
  kKey = L'K',       // a registry key ("HKCU\..." or "HKLM\..."), removed only when empty
  kValue = L'V',     // a value of a key (name may be empty: the default value)
  kProgram = L'P',   // a stand-in's copy of the kit; it holds path + ".lock" while it runs
};

struct MadeThing {
  MadeKind kind;
  std::wstring path;
  std::wstring name;  // kValue only
};

std::wstring FormatRecordLine(const MadeThing& thing);

struct ParsedRecord {
  std::vector<MadeThing> things;
  std::vector<std::wstring> unreadable;  // whole lines that name nothing the kit makes
};

ParsedRecord ParseRecord(const std::wstring& text);

// ---- What the kit seeds and expects: written out here on purpose, not taken from the tool ------

constexpr const wchar_t* kVendorFolder = L"Velmirant";
constexpr const wchar_t* kNeighbourName = L"velmirant-selfcheck-neighbour";
constexpr const wchar_t* kJunctionName = L"link-to-neighbour";
constexpr const wchar_t* kHeldFile = L"scanned\\held.dat";

// Every seeded tree, vendor's and neighbours' alike.
extern const wchar_t* const kTreeFolders[4];  // in the order they are made
extern const wchar_t* const kTreeFiles[5];

// The 32-bit branch's Run key, which 32-bit Windows does not have.
extern const wchar_t* const kMachineRunKey;

enum class SeedType { kText, kNumber, kBytes };

struct RegistrySeed {
  bool machine;  // HKLM: seeded only from an administrator's run
  const wchar_t* key;
  const wchar_t* name;  // "" is the key's default value
  SeedType type;
  const wchar_t* data;  // text, decimal number, or hex digits
};

extern const RegistrySeed kRegistrySeeds[17];

// After the tool: each of these keys or values (name null: the key) gone or still there.
struct RegistryOutcome {
  bool machine;
  const wchar_t* key;
  const wchar_t* name;
  bool stays;
};

extern const RegistryOutcome kRegistryOutcomes[16];
// The machine-wide vendor value: gone when entry 12's code is 0, else still there.
extern const RegistryOutcome kMachineVendorValue;

// The stand-ins the tool must end, and the one it must leave running.
extern const wchar_t* const kTargetStandIns[3];
constexpr const wchar_t* kNeighbourStandIn = L"vexdesktop-neighbour.exe";
constexpr const wchar_t* kScanner = L"scanner.exe";

// ---- The report --------------------------------------------------------------------------------

// The twelve registry lines due, entry 12 with `machineCode`.
std::vector<std::string> ExpectedRegistryLines(long machineCode);

struct ReportExpectation {
  std::vector<std::string> endedPrograms;  // each needs "NAME: TerminateProcess() OK"
  std::string neighbourProgram;            // named by no process line
  std::string userFolderLine;              // "!" marks before it allowed
  std::string programFolderLine;           // one attempt: no marks
  std::vector<std::string> registryLines;
};

struct ReportCheck {
  std::vector<std::string> problems;
  int marks = 0;                  // before the per-user folder's line
  bool userFolderLineDue = false; // that line, marks aside, is the one due
};

// The report as the tool wrote it (its ANSI bytes, CR LF line ends).
ReportCheck CheckReport(const std::string& report, const ReportExpectation& expected);
