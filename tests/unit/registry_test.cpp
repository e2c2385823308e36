#include "cleanup/registry.h"

#include <sstream>

#include "standin_test.h"

namespace {

using platform::RegistryRoot;

void ExpectParsed(std::string_view text, RegistryRoot root, const std::string& subkey, const std::string& value) {
  const ParsedRegistryEntry entry = ParseRegistryEntrySpec(text);
  EXPECT_EQ(entry.root, root) << text;
  EXPECT_EQ(entry.subkey, subkey) << text;
  EXPECT_EQ(entry.valueName, value) << text;
}

TEST(ParseRegistryEntrySpec, SplitsRootSubkeyAndValueName) {
  ExpectParsed("HKEY_CURRENT_USER\\A\\B|V", RegistryRoot::CurrentUser, "A\\B", "V");
  ExpectParsed("HKEY_LOCAL_MACHINE\\A", RegistryRoot::LocalMachine, "A", "");
  ExpectParsed("HKEY_LOCAL_MACHINE\\A\\B|V|W", RegistryRoot::LocalMachine, "A\\B", "V|W");
}

TEST(ParseRegistryEntrySpec, OnlyTheExactLocalMachineSpellingIsLocalMachine) {
  ExpectParsed("hkey_local_machine\\A", RegistryRoot::CurrentUser, "A", "");
  ExpectParsed("HKEY_LOCAL_MACHINEX\\A", RegistryRoot::CurrentUser, "A", "");
  ExpectParsed("HKLM\\A", RegistryRoot::CurrentUser, "A", "");
  ExpectParsed("\\A", RegistryRoot::CurrentUser, "A", "");
}

TEST(ParseRegistryEntrySpec, BarBeforeTheFirstBackslashBelongsToTheValueName) {
  ExpectParsed("HKEY_CURRENT_USER|V\\A", RegistryRoot::CurrentUser, "A", "V\\A");
  ExpectParsed("HKEY_LOCAL_MACHINE|V\\A", RegistryRoot::CurrentUser, "A", "V\\A");
}

TEST(ParseRegistryEntrySpec, EdgesOfTheText) {
  ExpectParsed("HKEY_CURRENT_USER\\A|", RegistryRoot::CurrentUser, "A", "");  // empty value name: a key
  ExpectParsed("HKEY_LOCAL_MACHINE", RegistryRoot::LocalMachine, "HKEY_LOCAL_MACHINE", "");
  ExpectParsed("Key|V", RegistryRoot::CurrentUser, "Key", "V");
  ExpectParsed("", RegistryRoot::CurrentUser, "", "");
}

using DeleteRegistryEntriesTest = StandinTest;

TEST_F(DeleteRegistryEntriesTest, EachLineRepeatsTheEntryTextWithTheStatusOfItsOwnCall) {
  state().registry["HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run|velmirant.software.autoupdate"] = 0;
  state().registry["HKCU\\Software\\Velmirant\\distribution"] = 0;
  state().registry["HKCU\\Software\\Velmirant\\vexpp"] = 5;
  state().registry["HKCU\\Software\\Velmirant"] = 5;
  state().registry["HKCU\\AppEvents\\Schemes\\Apps\\vexdesktop"] = 1018;
  state().registry["HKLM\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Run|"
                   "velmirant-panelino-distribuce"] = -1;
  DeleteRegistryEntries();
  EXPECT_EQ(output(),
            "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run|velmirant.software.autoupdate -> 0\n"
            "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run|velmirant.software.vexdesktop -> 2\n"
            "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run|"
            "velmirant.software.autoupdate -> 2\n"
            "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run|"
            "velmirant.software.vexdesktop -> 2\n"
            "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VelmirantInstall -> 2\n"
            "HKEY_CURRENT_USER\\Software\\Google\\Chrome\\NativeMessagingHosts\\vexpp_nm -> 2\n"
            "HKEY_CURRENT_USER\\Software\\Mozilla\\NativeMessagingHosts\\vexpp_nm -> 2\n"
            "HKEY_CURRENT_USER\\Software\\Velmirant\\distribution -> 0\n"
            "HKEY_CURRENT_USER\\Software\\Velmirant\\vexpp -> 5\n"
            "HKEY_CURRENT_USER\\Software\\Velmirant -> 5\n"
            "HKEY_CURRENT_USER\\AppEvents\\Schemes\\Apps\\vexdesktop -> 1018\n"
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Run|"
            "velmirant-panelino-distribuce -> -1\n");
  // One call per line, in line order, each for the key or the value its line names.
  std::istringstream lines(output());
  std::string line;
  for (int call = IndexOf("RegDelete"); std::getline(lines, line); call = IndexOf("RegDelete", call + 1)) {
    std::string entry = line.substr(0, line.find(" -> "));
    entry.replace(0, entry.find('\\'), entry.rfind("HKEY_LOCAL_MACHINE", 0) == 0 ? "HKLM" : "HKCU");
    const char* kind = entry.find('|') == std::string::npos ? "RegDeleteKeyA " : "RegDeleteKeyValueA ";
    ASSERT_GE(call, 0) << line;
    EXPECT_EQ(state().calls[call], kind + entry);
  }
  EXPECT_EQ(standin::Count("RegDelete"), 12);
}

TEST_F(DeleteRegistryEntriesTest, VendorKeyIsAttemptedAfterItsSubkeysWhateverTheirOutcome) {
  state().registry["HKCU\\Software\\Velmirant\\distribution"] = 5;
  state().registry["HKCU\\Software\\Velmirant\\vexpp"] = 1314;
  DeleteRegistryEntries();
  const int distribution = IndexOf("RegDeleteKeyA HKCU\\Software\\Velmirant\\distribution");
  const int vexpp = IndexOf("RegDeleteKeyA HKCU\\Software\\Velmirant\\vexpp");
  const int vendor = IndexOf("RegDeleteKeyA HKCU\\Software\\Velmirant", vexpp + 1);
  const int vexppLine = IndexOf("write  -> ", vexpp);
  ASSERT_GE(distribution, 0);
  ASSERT_GE(vexppLine, 0);
  EXPECT_LT(distribution, vexpp);
  EXPECT_LT(vexpp, vendor);
  // Each call's line is written before the next call is made.
  EXPECT_LT(vexppLine, vendor);
}

}  // namespace
