// Seeding: the vendor's leftovers and the neighbours that must survive, each recorded before it
// is made. Every seeded value that names a program names one under the Windows folder that is
// not there, and that a standard user cannot make: no seed can start anything.
#include "selfcheck.h"
// After <windows.h>, which it needs.
#include <winioctl.h>

// "HKCU\..." or "HKLM\...". The 64-bit view: a path naming WOW6432Node means the 32-bit branch itself.
bool SplitKey(const std::wstring& key, HKEY& root, std::wstring& subkey) {
  if (key.compare(0, 5, L"HKCU\\") == 0) {
    root = HKEY_CURRENT_USER;
  } else if (key.compare(0, 5, L"HKLM\\") == 0) {
    root = HKEY_LOCAL_MACHINE;
  } else {
    return false;
  }
  subkey = key.substr(5);
  return true;
}

LONG OpenKey(const std::wstring& key, REGSAM access, Key& opened) {
  HKEY root = nullptr;
  std::wstring subkey;
  if (!SplitKey(key, root, subkey)) return ERROR_INVALID_PARAMETER;
  return RegOpenKeyExW(root, subkey.c_str(), 0, access | KEY_WOW64_64KEY, &opened.value);
}

Presence RegistryPresence(const std::wstring& key, const wchar_t* name) {
  Key opened;
  LONG result = OpenKey(key, KEY_QUERY_VALUE, opened);
  if (result == ERROR_SUCCESS && name != nullptr) result = RegQueryValueExW(opened.value, name, nullptr, nullptr, nullptr, nullptr);
  if (result == ERROR_SUCCESS) return Presence::kThere;
  return result == ERROR_FILE_NOT_FOUND ? Presence::kGone : Presence::kUnknown;
}

Places PlacesFor(const Kit& kit, const Run& run) {
  Places places;
  static_cast<KitPlaces&>(places) = kit.places;
  places.seedsUser = !kit.admin || run.standardUser || kit.userToken.Valid();
  places.seedsProgramFolder = kit.admin;
  places.seedsMachine = kit.admin && kit.machineBranch;
  places.probes = run.standardUser && kit.wine;
  return places;
}

std::vector<std::wstring> SeededFolders(const Places& places) {
  std::vector<std::wstring> folders;
  if (places.seedsUser) folders = {places.vendorUser, places.neighbourUser};
  if (places.seedsProgramFolder) {
    folders.push_back(places.vendorProgram);
    folders.push_back(places.neighbourProgram);
  }
  return folders;
}

namespace {

bool SeedTree(Kit& kit, const std::wstring& folder, std::wstring& why) {
  if (!MakeFolder(kit, folder, why)) return false;
  ActingAs actor(ActorFor(kit, folder));
  if (actor.Failed()) {
    why = Failed(L"ImpersonateLoggedOnUser") + L": nothing is made in " + folder;
    return false;
  }
  for (const wchar_t* sub : kTreeFolders) {
    if (!CreateDirectoryW((folder + L"\\" + sub).c_str(), nullptr)) {
      why = Failed(L"CreateDirectoryW") + L" for " + folder + L"\\" + sub;
      return false;
    }
  }
  for (const wchar_t* file : kTreeFiles) {
    kit.madeFiles.push_back({folder + L"\\" + file, FileFacts()});
    if (!WriteWholeFile(kit.madeFiles.back().first, "velmirant-selfcheck\r\n", CREATE_NEW, &kit.madeFiles.back().second)) {
      why = Failed(L"writing") + L" " + folder + L"\\" + file;
      return false;
    }
  }
  return true;
}

// A junction at `link` to the folder `target` (FSCTL_SET_REPARSE_POINT with a mount point's data).
DWORD SetJunction(const std::wstring& link, const std::wstring& target) {
  const std::wstring substitute = L"\\??\\" + target;
  struct {
    DWORD tag;
    WORD dataLength, reserved, substituteOffset, substituteLength, printOffset, printLength;
    wchar_t names[2048];
  } data = {};
  if (substitute.size() + target.size() + 2 > sizeof data.names / sizeof(wchar_t)) return ERROR_FILENAME_EXCED_RANGE;
  data.tag = IO_REPARSE_TAG_MOUNT_POINT;
  data.substituteLength = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
  data.printOffset = static_cast<WORD>(data.substituteLength + sizeof(wchar_t));
  data.printLength = static_cast<WORD>(target.size() * sizeof(wchar_t));
  substitute.copy(data.names, substitute.size());
  target.copy(data.names + substitute.size() + 1, target.size());
  data.dataLength = static_cast<WORD>(4 * sizeof(WORD) + data.printOffset + data.printLength + sizeof(wchar_t));
  FileHandle folder(CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!folder.Valid()) return GetLastError();
  DWORD returned = 0;
  const DWORD size = 2 * sizeof(WORD) + sizeof(DWORD) + data.dataLength;
  return DeviceIoControl(folder.Get(), FSCTL_SET_REPARSE_POINT, &data, size, nullptr, 0, &returned, nullptr)
             ? ERROR_SUCCESS
             : GetLastError();
}

// The keys on the seed's path that are missing (each recorded, then made, top down), then its value.
bool SeedValue(Kit& kit, const RegistrySeed& seed, std::wstring& why) {
  const std::wstring key = seed.key;
  HKEY root = nullptr;
  std::wstring subkey;
  SplitKey(key, root, subkey);
  for (std::size_t end = 5; end != std::wstring::npos;) {
    end = key.find(L'\\', end + 1);
    const std::wstring part = key.substr(0, end);
    const Presence presence = RegistryPresence(part, nullptr);
    if (presence == Presence::kThere) continue;
    Key made;
    LONG result = ERROR_INVALID_FUNCTION;
    if (presence == Presence::kGone && Remember(kit, MadeKind::kKey, part)) {
      ActingAs actor(ActorFor(kit, part));
      if (!actor.Failed()) result = RegCreateKeyExW(root, part.substr(5).c_str(), 0, nullptr, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, nullptr,
                               &made.value, nullptr);
    }
    if (result != ERROR_SUCCESS) {
      why = L"cannot create the key " + part + L" (" + Code(static_cast<DWORD>(result)) + L")";
      return false;
    }
  }
  Key opened;
  LONG result = ERROR_SUCCESS;
  {
    // Its rights are checked here, once: the value is set through this key, after the record's line.
    ActingAs actor(ActorFor(kit, key));
    result = actor.Failed() ? static_cast<LONG>(GetLastError()) : OpenKey(key, KEY_SET_VALUE | KEY_QUERY_VALUE, opened);
  }
  const bool existed = result == ERROR_SUCCESS &&
                       RegQueryValueExW(opened.value, seed.name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  const SeedValueData data = EncodeSeed(&seed, kit.places);
  if (result == ERROR_SUCCESS && !existed && !Remember(kit, MadeKind::kValue, key, seed.name)) result = ERROR_WRITE_FAULT;
  if (result == ERROR_SUCCESS) {
    result = RegSetValueExW(opened.value, seed.name, 0, data.type, data.bytes.data(), static_cast<DWORD>(data.bytes.size()));
  }
  if (result != ERROR_SUCCESS) why = L"cannot set the value " + std::wstring(seed.name) + L" under " + key + L" (" + Code(static_cast<DWORD>(result)) + L")";
  return result == ERROR_SUCCESS;
}

}  // namespace

bool Seed(Kit& kit, Run& run, const Places& places, std::wstring& why) {
  if (PathPresence(places.absent) != Presence::kGone) {
    why = places.absent + L" is there: the seeded autostart values name programs in it, so it must not be";
    return false;
  }
  kit.madeFiles.clear();
  for (const std::wstring& folder : SeededFolders(places)) {
    if (!SeedTree(kit, folder, why)) return false;
  }
  if (places.probes && places.seedsProgramFolder &&
      (!MakeFolder(kit, places.probeFolder, why) ||
       !WriteWholeFile(places.probeFolder + L"\\probe.txt", "probe\r\n", CREATE_NEW))) {
    if (why.empty()) why = Failed(L"writing") + L" " + places.probeFolder + L"\\probe.txt";
    return false;
  }
  if (places.seedsUser && !Remember(kit, MadeKind::kJunction, places.junction)) {
    why = L"cannot write the record " + kit.record;
    return false;
  }
  DWORD error = ERROR_SUCCESS;
  bool linked = !places.seedsUser;
  if (!linked) {
    ActingAs actor(ActorFor(kit, places.junction));
    if (actor.Failed() || !CreateDirectoryW(places.junction.c_str(), nullptr)) {
      why = L"cannot make the folder " + places.junction;
      return false;
    }
    error = SetJunction(places.junction, places.junctionTarget);
    linked = error == ERROR_SUCCESS && Exists(places.junction + L"\\deep\\data.bin");
    if (!linked) RemoveDirectoryW(places.junction.c_str());
  }
  if (!linked) {
    SayRun(kit, run, L"Note: no junction could be made inside the vendor folder here (" + Code(error) +
                         L"); that point is not checked.");
  }
  for (const RegistrySeed& seed : kRegistrySeeds) {
    if ((seed.machine ? places.seedsMachine : places.seedsUser) && !SeedValue(kit, seed, why)) return false;
  }
  return true;
}
