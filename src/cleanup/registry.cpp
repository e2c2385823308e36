#include "cleanup/registry.h"

#include "app/report.h"

namespace {

// Keys are deleted with one call each and never walked: the vendor's own subkeys come before
// the vendor key, which goes only when nothing else is left under it.
constexpr std::string_view kRegistryEntries[] = {
    "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run|velmirant.software.autoupdate",
    "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run|velmirant.software.vexdesktop",
    "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run|velmirant.software.autoupdate",
    "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run|velmirant.software.vexdesktop",
    "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VelmirantInstall",
    "HKEY_CURRENT_USER\\Software\\Google\\Chrome\\NativeMessagingHosts\\vexpp_nm",
    "HKEY_CURRENT_USER\\Software\\Mozilla\\NativeMessagingHosts\\vexpp_nm",
    "HKEY_CURRENT_USER\\Software\\Velmirant\\distribution",
    "HKEY_CURRENT_USER\\Software\\Velmirant\\vexpp",
    "HKEY_CURRENT_USER\\Software\\Velmirant",
    "HKEY_CURRENT_USER\\AppEvents\\Schemes\\Apps\\vexdesktop",
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Run|velmirant-panelino-distribuce",
};

constexpr std::string_view kLocalMachineRoot = "HKEY_LOCAL_MACHINE";

}  // namespace

ParsedRegistryEntry ParseRegistryEntrySpec(RegistryEntrySpec entry_text) {
  const std::size_t backslash = entry_text.find('\\');
  const std::size_t bar = entry_text.find('|');
  ParsedRegistryEntry entry;
  // Every root but HKEY_LOCAL_MACHINE, spelled exactly, is the current user's.
  entry.root = entry_text.substr(0, backslash) == kLocalMachineRoot ? platform::RegistryRoot::LocalMachine
                                                                     : platform::RegistryRoot::CurrentUser;
  const std::size_t subkeyStart = backslash == std::string_view::npos ? 0 : backslash + 1;
  // A "|" before the first "\" belongs to the value name, so the subkey runs to the end.
  const std::size_t subkeyEnd = bar == std::string_view::npos || bar < subkeyStart ? entry_text.size() : bar;
  entry.subkey = std::string(entry_text.substr(subkeyStart, subkeyEnd - subkeyStart));
  if (bar != std::string_view::npos) entry.valueName = std::string(entry_text.substr(bar + 1));
  return entry;
}

void DeleteRegistryEntries() {
  for (std::string_view text : kRegistryEntries) {
    const ParsedRegistryEntry entry = ParseRegistryEntrySpec(text);
    const std::int32_t status = entry.valueName.empty()
                                    ? platform::DeleteRegistryKey(entry.root, entry.subkey)
                                    : platform::DeleteRegistryValue(entry.root, entry.subkey, entry.valueName);
    WriteText(text);
    WriteText(" -> ");
    WriteNumber(status);
    EndLine();
  }
}
