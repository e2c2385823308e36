// The self-check kit's parts that need no Windows: options, the record, the tool's digest, the work
// area's security, what is still the kit's, the report check.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kit.h"
#include "standin.h"

namespace {

bool Parse(const std::vector<std::wstring>& arguments, KitOptions& options) {
  std::wstring error;
  return ParseKitOptions(arguments, options, error);
}

TEST(SelfcheckOptions, AnyOrderAnyCaseOneFolderAndNothingUnknown) {
  KitOptions options;
  ASSERT_TRUE(Parse({L"results (1)", L"/KEEP", L"/yes", L"/User-Only"}, options));
  EXPECT_TRUE(options.yes && options.keep && options.userOnly);
  EXPECT_FALSE(options.plan || options.cleanUpOnly);
  EXPECT_EQ(options.resultFolder, L"results (1)");
  ASSERT_TRUE(Parse({L"/plan", L"\\\\server\\share\\r&s)"}, options));
  EXPECT_TRUE(options.plan && !options.yes);
  EXPECT_EQ(options.resultFolder, L"\\\\server\\share\\r&s)");

  std::wstring error;
  EXPECT_FALSE(ParseKitOptions({L"/yes", L"/y"}, options, error));
  EXPECT_EQ(error, L"Unknown argument: \"/y\".");
  EXPECT_FALSE(ParseKitOptions({L"one", L"two"}, options, error));
  EXPECT_EQ(error, L"Unknown argument: \"two\".");
  EXPECT_FALSE(ParseKitOptions({L"/plan", L"/cleanup"}, options, error));
  // What the kit shows of a line read from a report or a record: no control character gets through.
  EXPECT_EQ(EscapeControls(L"C:\\x\r\nSELF-CHECK PASSED\x1b[2J\x85\x7f\t"),
            L"C:\\x\\x0D\\x0ASELF-CHECK PASSED\\x1B[2J\\x85\\x7F\\x09");
  EXPECT_EQ(EscapeControls(L"Velmirant \u00e9 -> 0"), L"Velmirant \u00e9 -> 0");
}

TEST(SelfcheckOptions, RelativeFoldersAreTheOnesWithoutDriveOrRoot) {
  EXPECT_TRUE(IsRelativeFolder(L"results"));
  EXPECT_TRUE(IsRelativeFolder(L"..\\results"));
  EXPECT_FALSE(IsRelativeFolder(L"C:\\results"));
  EXPECT_FALSE(IsRelativeFolder(L"\\\\server\\share\\results"));
  EXPECT_FALSE(IsRelativeFolder(L"/results"));
}

TEST(SelfcheckRecord, ReadsBackWhatItWroteAndOnlyWholeLines) {
  const std::vector<MadeThing> things = {
      {MadeKind::kFolder, L"C:\\Users\\ann\\AppData\\Roaming\\Velmirant", L""},
      {MadeKind::kKey, L"HKCU\\Software\\Velmirant", L""},
      {MadeKind::kValue, L"HKCU\\Software\\Google\\Chrome\\NativeMessagingHosts\\vexpp_nm", L""},
      {MadeKind::kValue, L"HKCU\\Software\\Velmirant", L"Version"},
      {MadeKind::kProgram, L"C:\\Temp\\velmirant-selfcheck\\vexpp.exe", L""},
  };
  std::wstring text;
  for (const MadeThing& thing : things) text += FormatRecordLine(thing);
  // A run that stopped while writing a line had not made that thing yet: a cut line names nothing,
  // and must not name a shorter path that exists (the roaming folder itself, here).
  const std::wstring cut = FormatRecordLine({MadeKind::kFolder, L"C:\\Users\\ann\\AppData\\Roaming\\Velmirant", L""});
  const ParsedRecord record = ParseRecord(text + cut.substr(0, cut.size() - 11));
  ASSERT_EQ(record.things.size(), things.size());
  for (std::size_t i = 0; i < things.size(); ++i) {
    EXPECT_EQ(record.things[i].kind, things[i].kind) << i;
    EXPECT_EQ(record.things[i].path, things[i].path) << i;
    EXPECT_EQ(record.things[i].name, things[i].name) << i;
  }
  EXPECT_TRUE(record.unreadable.empty());
}

TEST(SelfcheckRecord, LinesThatNameNothingAreReportedNotSkipped) {
  const ParsedRecord record =
      ParseRecord(L"X\tC:\\x\n\nD\t\nV\tHKCU\\Software\\x\nK\tHKCU\\a\tb\nI\tC:\\kept\nD\tC:\\kept\n");
  ASSERT_EQ(record.things.size(), 1u);
  EXPECT_EQ(record.things[0].path, L"C:\\kept");
  EXPECT_EQ(record.unreadable, (std::vector<std::wstring>{L"X\tC:\\x", L"", L"D\t", L"V\tHKCU\\Software\\x",
                                                          L"K\tHKCU\\a\tb", L"I\tC:\\kept"}));
  std::uint32_t volume = 0;
  std::uint64_t index = 0;
  ASSERT_TRUE(ParseIdentity(FormatIdentity(0xA1B2C3D4, 0x0001000200030004ull), volume, index));
  EXPECT_EQ(volume, 0xA1B2C3D4u);
  EXPECT_EQ(index, 0x0001000200030004ull);
  // The clean-up takes a folder's last identity line, and only its own.
  const ParsedRecord identities = ParseRecord(L"I\tC:\\a\t00000001:0000000000000001\nI\tC:\\b\t00000001:0000000000000002\n"
                                              L"I\tc:\\A\t-\nD\tC:\\c\n");
  ASSERT_NE(RecordedIdentity(identities, L"C:\\a"), nullptr);
  EXPECT_EQ(RecordedIdentity(identities, L"C:\\a")->name, L"-");
  EXPECT_EQ(RecordedIdentity(identities, L"C:\\b")->name, L"00000001:0000000000000002");
  EXPECT_EQ(RecordedIdentity(identities, L"C:\\c"), nullptr);
  // "-": the folder was somebody else's, made between the kit's look and its own try.
  for (const wchar_t* text : {L"-", L"A1B2C3D4:000100020003000", L"A1B2C3D4-0001000200030004", L"a1b2c3d4:0001000200030004"}) {
    EXPECT_FALSE(ParseIdentity(text, volume, index)) << standin::Narrow(text);
  }
}

// Only what the kit makes may be acted on, whatever a record read back says.
TEST(SelfcheckRecord, OnlyTheKitsOwnPlanIsActedOn) {
  const KitPlaces places = MakeKitPlaces(L"C:\\Users\\ann\\AppData\\Roaming", L"C:\\Program Files (x86)",
                                         L"C:\\ProgramData\\velmirant-selfcheck", L"C:\\Windows");
  const std::vector<MadeThing> planned = {
      {MadeKind::kFolder, L"C:\\Users\\ann\\AppData\\Roaming\\velmirant-selfcheck-neighbour", L""},
      {MadeKind::kIdentity, L"c:\\program files (x86)\\VELMIRANT", L"00000001:0000000000000007"},
      {MadeKind::kFolder, L"C:\\Program Files (x86)\\velmirant-selfcheck-probe", L""},
      {MadeKind::kJunction, L"C:\\Users\\ann\\AppData\\Roaming\\Velmirant\\link-to-neighbour", L""},
      {MadeKind::kProgram, L"C:\\ProgramData\\velmirant-selfcheck\\vexdesktop-neighbour.exe", L""},
      {MadeKind::kProgram, L"C:\\ProgramData\\velmirant-selfcheck\\velmirant-cleanup.exe", L""},
      {MadeKind::kKey, L"HKCU\\Software\\Google\\Chrome", L""},
      {MadeKind::kKey, L"HKLM\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Run", L""},
      {MadeKind::kValue, L"HKCU\\Software\\Velmirant\\unlisted", L"Kept"},
      {MadeKind::kValue, L"HKCU\\Software\\Mozilla\\NativeMessagingHosts\\vexpp_nm", L""},
      {MadeKind::kValue, kMachineRunKey, kProbeValue},
  };
  for (const MadeThing& thing : planned) EXPECT_TRUE(InPlan(places, thing)) << standin::Narrow(thing.path);
  const std::vector<MadeThing> planted = {
      {MadeKind::kFolder, L"C:\\victim-folder", L""},
      {MadeKind::kFolder, L"C:\\Users\\ann\\AppData\\Roaming", L""},
      {MadeKind::kFolder, L"C:\\Users\\ann\\AppData\\Roaming\\Velmirant\\cache", L""},
      {MadeKind::kIdentity, L"C:\\victim-folder", L"00000001:0000000000000007"},
      {MadeKind::kJunction, L"C:\\Users\\ann\\AppData\\Roaming\\Velmirant", L""},
      {MadeKind::kProgram, L"C:\\ProgramData\\velmirant-selfcheck\\record.txt", L""},
      {MadeKind::kProgram, L"C:\\Windows\\System32\\vexpp.exe", L""},
      {MadeKind::kProgram, L"C:\\ProgramData\\velmirant-selfcheck\\velmirant-cleanup.exe.lock", L""},
      {MadeKind::kProgram, L"C:\\kit\\velmirant-cleanup.exe", L""},
      {MadeKind::kKey, L"HKCU\\Software\\victim-empty-key", L""},
      {MadeKind::kKey, L"HKCU\\Software\\Google\\Chrom", L""},
      {MadeKind::kKey, L"HKCU", L""},
      {MadeKind::kKey, L"HKLM\\Software\\Velmirant", L""},
      {MadeKind::kValue, L"HKCU\\Software\\Velmirant\\unlisted", L"Other"},
      {MadeKind::kValue, L"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", kProbeValue},
  };
  for (const MadeThing& thing : planted) EXPECT_FALSE(InPlan(places, thing)) << standin::Narrow(thing.path + L"|" + thing.name);

  // Seeded values that name a program name one in a folder under Windows that is not there, and a
  // value still holds exactly what the kit wrote only while its bytes are these.
  EXPECT_EQ(SeedText(kRegistrySeeds[0], places), L"C:\\Windows\\velmirant-selfcheck-absent\\autoupdate.exe");
  for (const RegistrySeed& seed : kRegistrySeeds) {
    const std::wstring text = SeedText(seed, places);
    EXPECT_TRUE(text.find(L'\\') == std::wstring::npos || text.rfind(places.absent + L"\\", 0) == 0)
        << standin::Narrow(text);
  }
  const SeedValueData number = EncodeSeed(&kRegistrySeeds[11], places);
  EXPECT_EQ(number.type, kRegDword);
  EXPECT_EQ(number.bytes, (std::vector<unsigned char>{1, 0, 0, 0}));
  const SeedValueData probe = EncodeSeed(nullptr, places);
  EXPECT_EQ(probe.type, kRegSz);
  EXPECT_EQ(probe.bytes, (std::vector<unsigned char>{'p', 0, 'r', 0, 'o', 0, 'b', 0, 'e', 0, 0, 0}));
  EXPECT_TRUE(HoldsSeedData(kRegDword, {1, 0, 0, 0}, number));
  EXPECT_FALSE(HoldsSeedData(kRegBinary, {1, 0, 0, 0}, number));
  EXPECT_FALSE(HoldsSeedData(kRegDword, {2, 0, 0, 0}, number));
  EXPECT_FALSE(HoldsSeedData(kRegDword, {1, 0, 0, 0, 0}, number));
}

// A file is still the kit's only as it made it; the held file counts as deleted only on what the
// kit saw on its own handle.
TEST(SelfcheckRecord, OnlyWhatTheKitMadeAndSawCounts) {
  const FileFacts made{7, 42, 21, Sha256("velmirant-selfcheck\r\n")};
  EXPECT_TRUE(SameFile(made, made));
  FileFacts found = made;
  found.index = 43;  // deleted and put back: the same bytes, another file
  EXPECT_FALSE(SameFile(made, found));
  found = made;
  found.volume = 8;
  EXPECT_FALSE(SameFile(made, found));
  found = made;
  found.size = 22;
  EXPECT_FALSE(SameFile(made, found));
  found = made;
  found.digest = Sha256("velmirant-selfcheck\r\r");
  EXPECT_FALSE(SameFile(made, found));

  HeldFileWatch watch;
  watch.deletionSeen = watch.goneAfter = true;
  EXPECT_TRUE(HeldFileDeleted(watch));
  watch.moved = true;
  EXPECT_FALSE(HeldFileDeleted(watch));
  watch = HeldFileWatch();
  watch.goneAfter = true;  // moved away before the kit looked: its name is gone, no deletion seen
  EXPECT_FALSE(HeldFileDeleted(watch));
  watch.goneAfter = false;
  watch.deletionSeen = true;
  EXPECT_FALSE(HeldFileDeleted(watch));
}

// A PE image as the linker writes one (PE32, its checksum and certificate table entry empty).
std::string SmallImage() {
  std::string image(1024, '\0');
  image.replace(0, 2, "MZ");
  image[0x3C] = 0x40;
  image.replace(0x40, 4, std::string("PE\0\0", 4));
  image[0x40 + 24] = 0x0B;
  image[0x40 + 25] = 0x01;
  for (std::size_t i = 0x200; i < image.size(); ++i) image[i] = static_cast<char>(i * 7);
  return image;
}

TEST(SelfcheckPin, TheDigestIsTheSameSignedOrNotAndNamesEveryOtherByte) {
  EXPECT_EQ(HexOf(Sha256("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(HexOf(Sha256("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(HexOf(Sha256(std::string(1000, 'a'))), "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3");
  const std::string image = SmallImage();
  const std::size_t checksum = 0x40 + 24 + 64, entry = 0x40 + 24 + 96 + 32;
  // Every byte but the checksum and the certificate table's entry.
  EXPECT_EQ(AuthenticodeDigest(image),
            Sha256(image.substr(0, checksum) + image.substr(checksum + 4, entry - checksum - 4) + image.substr(entry + 8)));
  // Signed: a checksum, the entry, and the table at the end.
  std::string signedImage = image + std::string(16, 'S');
  signedImage[checksum] = 0x5A;
  signedImage[entry + 1] = 0x04;  // at 1024
  signedImage[entry + 4] = 16;
  EXPECT_EQ(AuthenticodeDigest(signedImage), AuthenticodeDigest(image));
  std::string changed = image;
  changed[0x300] ^= 1;
  EXPECT_NE(AuthenticodeDigest(changed), AuthenticodeDigest(image));
  changed = image;
  changed[checksum - 1] ^= 1;
  EXPECT_NE(AuthenticodeDigest(changed), AuthenticodeDigest(image));
  changed = image;
  changed[entry + 8] ^= 1;
  EXPECT_NE(AuthenticodeDigest(changed), AuthenticodeDigest(image));
  // A table that is not the image's last part, and what is no PE image, give no digest.
  changed = signedImage + "x";
  EXPECT_EQ(AuthenticodeDigest(changed), "");
  EXPECT_EQ(AuthenticodeDigest("MZ" + std::string(100, '\0')), "");
  EXPECT_EQ(AuthenticodeDigest(std::string("#!/bin/sh\n") + std::string(100, ' ')), "");
}

// The work area of an administrator's run: nobody but Administrators and SYSTEM may change it, and
// a folder of that name is the kit's only when its owner and DACL are exactly these.
TEST(SelfcheckWorkArea, OnlyAdministratorsAndSystemMayChangeIt) {
  // Every right that changes a folder or what it holds, or who may: write and append data (add a
  // file or a folder), write extended attributes and attributes, delete a child or itself, change
  // its DACL or owner, and the generic rights that grant them.
  constexpr std::uint32_t kWriteRights = 0x0002 | 0x0004 | 0x0010 | 0x0040 | 0x0100 | 0x10000 | 0x40000 | 0x80000 |
                                         0x10000000 | 0x40000000;
  FolderSecurity security;
  security.owner = Trustee::kAdministrators;
  security.protectedDacl = true;
  for (const AccessEntry& entry : kWorkAreaAccess) {
    EXPECT_TRUE(entry.allows);
    const bool mayWrite = (entry.mask & kWriteRights) != 0;
    EXPECT_EQ(mayWrite, entry.trustee == Trustee::kSystem || entry.trustee == Trustee::kAdministrators);
    EXPECT_NE(entry.mask & 0x20, 0u) << "the stand-ins of a standard user's run must start";
    EXPECT_EQ(entry.flags, 0x03) << "what the kit puts there takes the same rights";
    security.entries.push_back(entry);
  }
  EXPECT_TRUE(IsWorkAreaSecurity(security));

  FolderSecurity changed = security;
  changed.owner = Trustee::kOther;  // made by the user who planted it
  EXPECT_FALSE(IsWorkAreaSecurity(changed));
  changed = security;
  changed.protectedDacl = false;  // would take what the folder above grants
  EXPECT_FALSE(IsWorkAreaSecurity(changed));
  changed = security;
  changed.entries.push_back({Trustee::kOther, true, 0x0002, 0x03});
  EXPECT_FALSE(IsWorkAreaSecurity(changed));
  changed = security;
  changed.entries[2].mask |= 0x0004;  // Users may add folders
  EXPECT_FALSE(IsWorkAreaSecurity(changed));
  changed = security;
  changed.entries.pop_back();
  EXPECT_FALSE(IsWorkAreaSecurity(changed));
  changed = security;
  changed.entries[0].flags = 0;  // what is made inside would not take these rights
  EXPECT_FALSE(IsWorkAreaSecurity(changed));
  changed = security;
  changed.entries[2].allows = false;  // another kind of entry (a deny, an audit) in its place
  EXPECT_FALSE(IsWorkAreaSecurity(changed));

  // The descriptor the kit makes the folder with reads back as the work area's; as Windows gives
  // it back with another owner, another entry or a broken DACL, it does not.
  const std::vector<unsigned char> made = WorkAreaDescriptor();
  FolderSecurity read;
  ASSERT_TRUE(ReadDescriptor(made, read));
  EXPECT_TRUE(IsWorkAreaSecurity(read));
  std::vector<unsigned char> bytes = made;
  bytes[20 + 12] = 0x21;  // owned by Users
  ASSERT_TRUE(ReadDescriptor(bytes, read));
  EXPECT_EQ(read.owner, Trustee::kUsers);
  EXPECT_FALSE(IsWorkAreaSecurity(read));
  bytes = made;
  bytes[20 + 16 + 8 + 8 + 8] = 0x13;  // the first entry for S-1-5-19, not SYSTEM
  ASSERT_TRUE(ReadDescriptor(bytes, read));
  EXPECT_FALSE(IsWorkAreaSecurity(read));
  bytes = made;
  bytes[2] &= static_cast<unsigned char>(~0x04);  // no DACL: everybody may do everything
  ASSERT_TRUE(ReadDescriptor(bytes, read));
  EXPECT_FALSE(IsWorkAreaSecurity(read));
  bytes = made;
  bytes.resize(bytes.size() - 1);
  EXPECT_FALSE(ReadDescriptor(bytes, read));

  // The made token's processes: only SYSTEM and Administrators may open them, and their owner, the
  // user, may only read their DACL, not rewrite it; the stand-ins the tool must end give the user
  // no more than the tool asks (terminate, query, wait).
  ASSERT_TRUE(ReadDescriptor(MakeDescriptor({}, MakeAcl(kMadeTokenAccess, 3)), read));
  ASSERT_EQ(read.entries.size(), 3u);
  EXPECT_EQ(read.entries[0].trustee, Trustee::kSystem);
  EXPECT_EQ(read.entries[1].trustee, Trustee::kAdministrators);
  EXPECT_EQ(read.entries[2].trustee, Trustee::kOwnerRights);
  EXPECT_EQ(read.entries[2].mask, 0x20000u);
  const std::vector<unsigned char> user = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0xE9, 3, 0, 0};
  ASSERT_TRUE(ReadDescriptor(MakeDescriptor({}, MakeAcl(kStandInAccess, 4, user)), read));
  ASSERT_EQ(read.entries.size(), 4u);
  EXPECT_EQ(read.entries[2].trustee, Trustee::kOwnerRights);
  EXPECT_EQ(read.entries[2].mask, 0x20000u);
  EXPECT_EQ(read.entries[3].trustee, Trustee::kOther);
  EXPECT_EQ(read.entries[3].mask, 0x101001u);
  for (const AccessEntry& entry : kMadeTokenAccess) EXPECT_NE(entry.trustee, Trustee::kUsers);
}

// A report as the tool writes it for a run where everything went.
std::string GoodReport(const std::string& userFolderMarks = "") {
  std::string report =
      "vexdesktop.exe: TerminateProcess() OK\r\nvexpp.exe: TerminateProcess() OK\r\n"
      "toolbar-panelino-host.exe: TerminateProcess() OK\r\n\r\n" +
      userFolderMarks + "C:/Users/ann/AppData/Roaming/Velmirant -> 0\r\nC:/Program Files (x86)/Velmirant -> 5\r\n\r\n";
  for (const std::string& line : ExpectedRegistryLines(5)) report += line + "\r\n";
  return report;
}

ReportExpectation Expected() {
  ReportExpectation expected;
  expected.endedPrograms = {"vexdesktop.exe", "vexpp.exe", "toolbar-panelino-host.exe"};
  expected.neighbourProgram = "vexdesktop-neighbour.exe";
  expected.userFolderLine = "C:/Users/ann/AppData/Roaming/Velmirant -> 0";
  expected.programFolderLine = "C:/Program Files (x86)/Velmirant -> 5";
  expected.registryLines = ExpectedRegistryLines(5);
  return expected;
}

TEST(SelfcheckReport, TheReportDueHasNoProblemAndItsMarksAreCounted) {
  ReportCheck check = CheckReport(GoodReport(), Expected());
  EXPECT_TRUE(check.problems.empty());
  EXPECT_TRUE(check.userFolderLineDue);
  EXPECT_EQ(check.marks, 0);
  check = CheckReport(GoodReport("!!!"), Expected());
  EXPECT_TRUE(check.problems.empty());
  EXPECT_EQ(check.marks, 3);
  const std::vector<std::string> lines = ExpectedRegistryLines(5);
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[9], "HKEY_CURRENT_USER\\Software\\Velmirant -> 5");
  EXPECT_EQ(lines[11],
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Run|velmirant-panelino-distribuce -> 5");
  // Without the per-user seeds, none of the per-user entries is there.
  const std::vector<std::string> machineOnly = ExpectedRegistryLines(0, false);
  EXPECT_EQ(machineOnly[0], "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run|velmirant.software.autoupdate -> 2");
  EXPECT_EQ(machineOnly[9], "HKEY_CURRENT_USER\\Software\\Velmirant -> 2");
  EXPECT_EQ(machineOnly[11].substr(machineOnly[11].size() - 5), " -> 0");
}

TEST(SelfcheckReport, EachWayAReportGoesWrongIsNamed) {
  // A program that cleans nothing writes nothing.
  EXPECT_EQ(CheckReport("", Expected()).problems,
            (std::vector<std::string>{"no report line [vexdesktop.exe: TerminateProcess() OK]",
                                      "no report line [vexpp.exe: TerminateProcess() OK]",
                                      "no report line [toolbar-panelino-host.exe: TerminateProcess() OK]",
                                      "the report has no empty line after the process lines"}));

  std::string report = GoodReport();
  report.replace(report.find("vexpp.exe: TerminateProcess() OK"), 32, "vexdesktop-neighbour.exe: TerminateProcess() OK");
  report.replace(report.find("Velmirant -> 5"), 0, "!");
  report.replace(report.find("vexpp -> 0"), 10, "vexpp -> 2");
  EXPECT_EQ(CheckReport(report + "extra\r\n", Expected()).problems,
            (std::vector<std::string>{
                "the report names the neighbour program: [vexdesktop-neighbour.exe: TerminateProcess() OK]",
                "no report line [vexpp.exe: TerminateProcess() OK]",
                "report line [C:/Program Files (x86)/!Velmirant -> 5] where [C:/Program Files (x86)/Velmirant -> 5] is due",
                "report line [HKEY_CURRENT_USER\\Software\\Velmirant\\vexpp -> 2] where "
                "[HKEY_CURRENT_USER\\Software\\Velmirant\\vexpp -> 0] is due",
                "the report has a line more than due: [extra]"}));

  report = GoodReport();
  report.replace(report.find("C:/Program"), 0, "!");
  report.resize(report.find("HKEY_CURRENT_USER\\AppEvents"));
  EXPECT_EQ(CheckReport(report, Expected()).problems,
            (std::vector<std::string>{"the program folder's line has 1 marks; it gets one attempt",
                                      "the report ends after 13 of the 15 lines due after the process lines"}));
}

}  // namespace
