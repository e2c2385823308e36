// The clean-up: removes, last made first, what the record names, when it is the kit's own plan and
// still the thing the kit made; everything else stays untouched and is named.
#include "selfcheck.h"
#include "platform/remove_tree.h"

namespace {

std::wstring Describe(const MadeThing& thing) {
  switch (thing.kind) {
    case MadeKind::kKey:
      return L"the key " + thing.path;
    case MadeKind::kValue:
      return L"the value " + thing.name + L" under " + thing.path;
    case MadeKind::kProgram:
      return L"the program " + thing.path;
    default:
      return L"the folder " + thing.path;
  }
}

bool RemoveFolder(const Kit& kit, const ParsedRecord& record, const MadeThing& thing, std::wstring& why) {
  const MadeThing* identity = RecordedIdentity(record, thing.path);
  if (identity != nullptr && identity->name == L"-") return true;  // somebody else's: the kit made nothing
  if (PathPresence(thing.path) == Presence::kGone) return true;
  platform::FileIdentity made;
  if (identity == nullptr || !ParseIdentity(identity->name, made.volume, made.index)) {
    why = thing.path + L" is there, but the record does not say which folder the self-check made: left untouched";
    return false;
  }
  std::uint32_t error = 0;
  {
    ActingAs actor(ActorFor(kit, thing.path));
    error = actor.Failed() ? GetLastError() : RemoveTree(thing.path, &made);
  }
  if (error == 0) return true;
  why = thing.path + L" could not be removed (" + Code(error) +
        (error == kErrorStoppedOnSymlink ? L": it, or something in it, is not what the self-check made, or is a link; "
                                           L"nothing outside it was touched)"
                                         : L")");
  return false;
}

// A running program's image cannot be deleted: stand-ins end once the stop file is there (an
// earlier run's too), within ten seconds.
bool RemoveProgram(Kit& kit, const MadeThing& thing, bool& stopped, std::wstring& why) {
  if (!stopped) stopped = WriteWholeFile(kit.stop, "stop\r\n", CREATE_ALWAYS);
  SetFileAttributesW(thing.path.c_str(), FILE_ATTRIBUTE_NORMAL);
  for (int attempt = 0; attempt < static_cast<int>(10 * 1000 / kPollMs) && Exists(thing.path) && !DeleteFileW(thing.path.c_str()); ++attempt) Sleep(kPollMs);
  if (PathPresence(thing.path) == Presence::kGone) return true;
  why = thing.path + L" is still there (" + Code(GetLastError()) + L"): a program started from it may still run";
  return false;
}

// A value goes only while it holds what the kit wrote.
bool RemoveValue(Kit& kit, const MadeThing& thing, std::wstring& why) {
  const RegistrySeed* seed = nullptr;
  for (const RegistrySeed& candidate : kRegistrySeeds) {
    if (SameName(thing.path, candidate.key) && SameName(thing.name, candidate.name)) seed = &candidate;
  }
  const SeedValueData due = EncodeSeed(seed, kit.places);
  ActingAs actor(ActorFor(kit, thing.path));
  Key opened;
  LONG result = actor.Failed() ? static_cast<LONG>(GetLastError()) : OpenKey(thing.path, KEY_QUERY_VALUE | KEY_SET_VALUE, opened);
  DWORD type = 0, size = 0;
  if (result == ERROR_SUCCESS) result = RegQueryValueExW(opened.value, thing.name.c_str(), nullptr, &type, nullptr, &size);
  if (result == ERROR_FILE_NOT_FOUND) return true;
  std::vector<unsigned char> data(size);
  if (result == ERROR_SUCCESS) result = RegQueryValueExW(opened.value, thing.name.c_str(), nullptr, &type, data.data(), &size);
  if (result == ERROR_SUCCESS && !HoldsSeedData(type, data, due)) {
    why = Describe(thing) + L" holds what the self-check did not write: left untouched";
    return false;
  }
  if (result == ERROR_SUCCESS) result = RegDeleteValueW(opened.value, thing.name.c_str());
  if (RegistryPresence(thing.path, thing.name.c_str()) == Presence::kGone) return true;
  why = Describe(thing) + L" is still there (" + Code(static_cast<DWORD>(result)) + L")";
  return false;
}

// A key the kit made goes only once it is empty: what it holds then is somebody else's.
bool RemoveKey(const Kit& kit, const MadeThing& thing, std::wstring& why) {
  ActingAs actor(ActorFor(kit, thing.path));
  Key opened;
  LONG result = actor.Failed() ? static_cast<LONG>(GetLastError()) : OpenKey(thing.path, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS, opened);
  if (result == ERROR_FILE_NOT_FOUND) return true;
  DWORD subkeys = 0, values = 0;
  if (result == ERROR_SUCCESS) {
    result = RegQueryInfoKeyW(opened.value, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                              nullptr, nullptr, nullptr);
  }
  if (result == ERROR_SUCCESS && subkeys + values > 0) {
    why = L"the key " + thing.path + L", made by the self-check, holds what it did not make: left";
    return false;
  }
  HKEY root = nullptr;
  std::wstring subkey;
  SplitKey(thing.path, root, subkey);
  if (result == ERROR_SUCCESS) result = RegDeleteKeyExW(root, subkey.c_str(), KEY_WOW64_64KEY, 0);
  if (RegistryPresence(thing.path, nullptr) == Presence::kGone) return true;
  why = L"the key " + thing.path + L" is still there (" + Code(static_cast<DWORD>(result)) + L")";
  return false;
}

// Removes one thing of the kit's plan; false with the reason when it stays.
bool RemoveMade(Kit& kit, const ParsedRecord& record, const MadeThing& thing, bool& stopped, std::wstring& why) {
  // What is the user's is removed only as that user: the elevated token's deletion could be sent elsewhere.
  if (kit.admin && !kit.userToken.Valid() && thing.kind != MadeKind::kIdentity && thing.kind != MadeKind::kJunction &&
      PerUser(kit, thing.path)) {
    why = Describe(thing) + L" is per-user, and there is no proven standard user's token to remove it with: left";
    return false;
  }
  switch (thing.kind) {
    case MadeKind::kFolder:
      return RemoveFolder(kit, record, thing, why);
    case MadeKind::kIdentity:  // read with its folder's line
    case MadeKind::kJunction:  // goes with the vendor's folder, as a link
      return true;
    case MadeKind::kProgram:
      return RemoveProgram(kit, thing, stopped, why);
    case MadeKind::kValue:
      return RemoveValue(kit, thing, why);
    case MadeKind::kKey:
      return RemoveKey(kit, thing, why);
  }
  return false;
}

}  // namespace

int CleanUp(Kit& kit, const std::wstring& label) {
  const std::wstring prefix = label.empty() ? std::wstring() : L"[" + label + L"] ";
  std::string bytes;
  int left = 0;
  std::wstring kept;
  const bool read = ReadWholeFile(kit.record, bytes);
  const DWORD readError = read ? ERROR_SUCCESS : GetLastError();
  // Only a record that is not there names nothing; one that cannot be read keeps the work folder.
  if (!read && readError != ERROR_FILE_NOT_FOUND) {
    Say(kit, prefix + L"CLEAN-UP INCOMPLETE: the record " + kit.record + L" cannot be read (" + Code(readError) +
                 L"): nothing it names is removed");
    ++left;
  }
  if (read) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0) MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], size);
    const ParsedRecord record = ParseRecord(text);
    // Lines that name nothing of the plan are named once and dropped: what they name is never touched.
    for (const std::wstring& line : record.unreadable) {
      Say(kit, prefix + L"CLEAN-UP INCOMPLETE: the record " + kit.record + L" has a line that names nothing: [" + line + L"]");
      ++left;
    }
    bool stopped = false;
    std::vector<MadeThing> staying;
    for (auto thing = record.things.rbegin(); thing != record.things.rend(); ++thing) {
      std::wstring why;
      if (!InPlan(kit.places, *thing)) {
        Say(kit, prefix + L"CLEAN-UP INCOMPLETE: the record " + kit.record + L" names " + Describe(*thing) +
                     L", which the self-check never makes: left untouched");
        ++left;
        continue;
      }
      if (RemoveMade(kit, record, *thing, stopped, why)) continue;
      Say(kit, prefix + L"CLEAN-UP INCOMPLETE: " + why);
      ++left;
      staying.insert(staying.begin(), *thing);
      if (const MadeThing* identity = thing->kind == MadeKind::kFolder ? RecordedIdentity(record, thing->path) : nullptr) {
        staying.insert(staying.begin() + 1, *identity);
      }
    }
    for (const MadeThing& thing : staying) kept += FormatRecordLine(thing);
  }
  if (left == 0) {
    kit.workFolder.Reset();
    const std::uint32_t error = RemoveTree(kit.places.work);
    if (error != 0) {
      Say(kit, prefix + L"CLEAN-UP INCOMPLETE: the self-check's own folder " + kit.places.work + L" is still there (" +
                   Code(error) + L")");
      ++left;
    }
  } else if (read && !WriteWholeFile(kit.record, Narrow(kept, CP_UTF8), CREATE_ALWAYS)) {
    Say(kit, prefix + L"CLEAN-UP INCOMPLETE: the record " + kit.record + L" could not be brought up to date");
  }
  kit.left += left;
  return left;
}
