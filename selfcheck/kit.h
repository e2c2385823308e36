// The self-check's parts that need no Windows: its options, the record of what it made and the
// plan it must name, what it seeds and expects, the work area's security, the tool's digest, the
// checks that a thing is still the one the kit made, and the check of the tool's report. The unit
// tests build them natively.
#pragma once

#include <cstdint>
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

// Whether two paths or key names are the same to Windows: letters in any case.
bool SameName(const std::wstring& a, const std::wstring& b);

// A line as the kit shows it: each control character as \xNN, so that text read from a report or
// a record cannot move the cursor, end a line or fake one of the kit's own.
std::wstring EscapeControls(const std::wstring& line);

// ---- The tool the kit runs (digest.cpp) ----------------------------------------------------------

std::string Sha256(const std::string& bytes);  // the 32 bytes
std::string HexOf(const std::string& bytes);   // lower case
// SHA-256 of a PE image but its checksum, its certificate table's directory entry and that table:
// the same for the image and a signed copy of it. Empty where the image is no PE image so read.
std::string AuthenticodeDigest(const std::string& image);

// ---- The record of what the kit made -----------------------------------------------------------
// One line per thing, written (and flushed) before the thing is made, so a run stopped anywhere
// leaves a record of all it may have made. Only whole lines count: a line cut short names nothing.

enum class MadeKind : wchar_t {
  kFolder = L'D',    // a folder the kit is about to make, removed with all it holds...
  kIdentity = L'I',  // ...once this line, written after it was made, gives its identity (name)
  kJunction = L'J',  // a junction inside the vendor's folder, which goes with that folder
  kKey = L'K',       // a registry key ("HKCU\..." or "HKLM\..."), removed only when empty
  kValue = L'V',     // a value of a key (name may be empty: the default value)
  kProgram = L'P',   // a copy of a program in the work area: the tool, or the kit itself as a stand-in
};

struct MadeThing {
  MadeKind kind;
  std::wstring path;
  std::wstring name;  // kValue: the value's name; kIdentity: the folder's identity
};

std::wstring FormatRecordLine(const MadeThing& thing);

struct ParsedRecord {
  std::vector<MadeThing> things;
  std::vector<std::wstring> unreadable;  // whole lines that name nothing the kit makes
};

ParsedRecord ParseRecord(const std::wstring& text);

// A folder's identity as the record keeps it: its volume's serial number and its file index.
std::wstring FormatIdentity(std::uint32_t volume, std::uint64_t index);
bool ParseIdentity(const std::wstring& text, std::uint32_t& volume, std::uint64_t& index);
// The last identity line the record gives the folder at `path`; null where it gives none.
const MadeThing* RecordedIdentity(const ParsedRecord& record, const std::wstring& path);

// ---- Is it still what the kit made ---------------------------------------------------------------

// A file as the kit made it, or as it is found: its identity, size and the SHA-256 of its contents.
struct FileFacts {
  std::uint32_t volume = 0;
  std::uint64_t index = 0;
  std::uint64_t size = 0;
  std::string digest;
};
// Whether the file found is the one made: a copy put back in its place is not.
bool SameFile(const FileFacts& made, const FileFacts& found);

// What the kit saw of the file it holds open with delete sharing while the tool runs.
struct HeldFileWatch {
  bool deletionSeen = false;  // on its handle: the deletion pending, or no name left (POSIX deletion)
  bool moved = false;         // its handle's file was found at another name
  bool goneAfter = false;     // let go, its name is gone by the tool's end
};
// Whether the tool deleted it: a file moved away, or one whose deletion the kit did not see, fails.
bool HeldFileDeleted(const HeldFileWatch& watch);

// ---- Where the kit works, and all it may ever make there -----------------------------------------

constexpr const wchar_t* kVendorFolder = L"Velmirant";
constexpr const wchar_t* kNeighbourName = L"velmirant-selfcheck-neighbour";
constexpr const wchar_t* kJunctionName = L"link-to-neighbour";
constexpr const wchar_t* kHeldFile = L"scanned\\held.dat";
constexpr const wchar_t* kWorkName = L"velmirant-selfcheck";
constexpr const wchar_t* kProbeValue = L"velmirant-selfcheck-probe";
constexpr const wchar_t* kProbeData = L"probe";
// The copies in the work area of the kit itself and of the tool beside it, the programs it runs.
constexpr const wchar_t* kKitCopy = L"velmirant-selfcheck.exe";
constexpr const wchar_t* kToolCopy = L"velmirant-cleanup.exe";

struct KitPlaces {
  std::wstring vendorUser, neighbourUser, vendorProgram, neighbourProgram, probeFolder;
  std::wstring junction, junctionTarget;
  std::wstring work;    // the record and the copies of the programs the kit runs
  std::wstring absent;  // under the Windows folder: what seeded values name, never there
};

KitPlaces MakeKitPlaces(const std::wstring& roaming, const std::wstring& programFiles, const std::wstring& work,
                        const std::wstring& windows);

// The stand-ins the tool must end, and the one it must leave running.
extern const wchar_t* const kTargetStandIns[3];
constexpr const wchar_t* kNeighbourStandIn = L"vexdesktop-neighbour.exe";

// Whether a record line names one of the things the kit makes on this machine (what /plan lists:
// the seeded folders, the junction, the stand-ins, the registry seeds, the keys above them and the
// probe value). Any other line is never acted on.
bool InPlan(const KitPlaces& places, const MadeThing& thing);

// ---- What the kit seeds and expects: written out here on purpose, not taken from the tool ------

// Every seeded tree, vendor's and neighbours' alike.
extern const wchar_t* const kTreeFolders[4];  // in the order they are made
extern const wchar_t* const kTreeFiles[5];

// The 32-bit branch's Run key, which 32-bit Windows does not have.
extern const wchar_t* const kMachineRunKey;

// kProgram: text naming a program under KitPlaces::absent, which a standard user cannot create.
enum class SeedType { kText, kNumber, kBytes, kProgram };

struct RegistrySeed {
  bool machine;  // HKLM: seeded only from an administrator's run
  const wchar_t* key;
  const wchar_t* name;  // "" is the key's default value
  SeedType type;
  const wchar_t* data;  // text, decimal number, hex digits, or a program's file name
};

extern const RegistrySeed kRegistrySeeds[17];

constexpr std::uint32_t kRegSz = 1;      // REG_SZ
constexpr std::uint32_t kRegBinary = 3;  // REG_BINARY
constexpr std::uint32_t kRegDword = 4;   // REG_DWORD

struct SeedValueData {
  std::uint32_t type = 0;
  std::vector<unsigned char> bytes;  // as the registry keeps them (REG_SZ: UTF-16LE with its null)
};

// What the kit writes for a seed; the probe value too (`seed` null). A value whose data is other
// than this is not the kit's.
SeedValueData EncodeSeed(const RegistrySeed* seed, const KitPlaces& places);
// The text /plan shows for a seed's data.
std::wstring SeedText(const RegistrySeed& seed, const KitPlaces& places);

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

// A value the kit wrote goes only while it holds that: its type and bytes.
bool HoldsSeedData(std::uint32_t type, const std::vector<unsigned char>& bytes, const SeedValueData& due);

// ---- The work area of an administrator's run, and the made token (security.cpp) -----------------
// Only Administrators and SYSTEM may write there; Users may read and run what it holds (the
// stand-ins of a standard user's run). The DACL is protected: nothing is inherited from above.

enum class Trustee { kSystem, kAdministrators, kUsers, kOwnerRights, kOther };

struct AccessEntry {
  Trustee trustee;
  bool allows;  // an allow entry; false: deny, or any other kind
  std::uint32_t mask;
  std::uint8_t flags;  // inheritance flags
};

extern const AccessEntry kWorkAreaAccess[3];

struct FolderSecurity {
  Trustee owner = Trustee::kOther;
  bool protectedDacl = false;
  std::vector<AccessEntry> entries;
};

// Whether a folder's owner and DACL are the ones the kit gives its work area.
bool IsWorkAreaSecurity(const FolderSecurity& security);

// The work area's security descriptor (self-relative: owner Administrators, protected DACL).
std::vector<unsigned char> WorkAreaDescriptor();
// A self-relative security descriptor's owner and DACL, as Windows gives them; false where it is
// cut short or holds what no descriptor does.
bool ReadDescriptor(const std::vector<unsigned char>& bytes, FolderSecurity& security);

// The default DACL of the standard user's token the kit makes: what it starts with that token (the
// tool, the proof) only SYSTEM and Administrators may open, not the user's other programs. The
// token's owner is the user, and an owner may always rewrite a DACL unless an OWNER RIGHTS entry
// says what the owner gets instead: here, reading the DACL only.
extern const AccessEntry kMadeTokenAccess[3];
// The stand-ins of that run, which the tool must end, give the user (kOther) only what it takes.
extern const AccessEntry kStandInAccess[4];
// An ACL of allow entries; a kOther entry is for the SID `other` (its bytes).
std::vector<unsigned char> MakeAcl(const AccessEntry* entries, std::size_t count,
                                   const std::vector<unsigned char>& other = std::vector<unsigned char>());
// A self-relative descriptor with that owner (none: empty) and protected DACL.
std::vector<unsigned char> MakeDescriptor(const std::vector<unsigned char>& owner, const std::vector<unsigned char>& acl);

// ---- The report --------------------------------------------------------------------------------

// The twelve registry lines due, entry 12 with `machineCode`; the per-user ones "-> 2" (not there)
// where the per-user part was not seeded.
std::vector<std::string> ExpectedRegistryLines(long machineCode, bool userSeeded = true);

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
