// The kit's options, its record, the plan a record line must name, and its work area's security.
#include "kit.h"

#include <cstdio>
#include <cwchar>
#include <cwctype>

namespace {

bool SameLetters(const std::wstring& a, const wchar_t* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i] != L'\0'; ++i) {
    if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i]))) return false;
  }
  return i == a.size() && b[i] == L'\0';
}

std::wstring Join(const std::wstring& folder, const wchar_t* name) { return folder + L"\\" + name; }

bool AnySameName(const std::vector<std::wstring>& names, const std::wstring& name) {
  for (const std::wstring& candidate : names) {
    if (SameName(candidate, name)) return true;
  }
  return false;
}

}  // namespace

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

bool SameName(const std::wstring& a, const std::wstring& b) { return SameLetters(a, b.c_str()) && a.size() == b.size(); }

// ---- The record --------------------------------------------------------------------------------

std::wstring FormatRecordLine(const MadeThing& thing) {
  std::wstring line(1, static_cast<wchar_t>(thing.kind));
  line += L'\t';
  line += thing.path;
  if (thing.kind == MadeKind::kValue || thing.kind == MadeKind::kIdentity) line += L'\t' + thing.name;
  return line + L'\n';
}

ParsedRecord ParseRecord(const std::wstring& text) {
  ParsedRecord record;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1) {
    const std::wstring line = text.substr(start, end - start);
    MadeThing thing{static_cast<MadeKind>(line.empty() ? L'\0' : line[0]), L"", L""};
    const bool named = thing.kind == MadeKind::kValue || thing.kind == MadeKind::kIdentity;
    const bool known = named || thing.kind == MadeKind::kFolder || thing.kind == MadeKind::kJunction ||
                       thing.kind == MadeKind::kKey || thing.kind == MadeKind::kProgram;
    const std::size_t tab = line.find(L'\t', 2);
    if (known && line.size() > 2 && line[1] == L'\t') {
      thing.path = line.substr(2, tab == std::wstring::npos ? std::wstring::npos : tab - 2);
      if (named && tab != std::wstring::npos) thing.name = line.substr(tab + 1);
    }
    // A value and an identity need their second field's tab; nothing else may hold one.
    const bool whole = !thing.path.empty() && named == (tab != std::wstring::npos) &&
                       thing.name.find(L'\t') == std::wstring::npos;
    if (known && whole) {
      record.things.push_back(thing);
    } else {
      record.unreadable.push_back(line);
    }
  }
  return record;
}

std::wstring FormatIdentity(std::uint32_t volume, std::uint64_t index) {
  wchar_t text[32];
  std::swprintf(text, sizeof text / sizeof text[0], L"%08lX:%016llX", static_cast<unsigned long>(volume),
                static_cast<unsigned long long>(index));
  return text;
}

bool ParseIdentity(const std::wstring& text, std::uint32_t& volume, std::uint64_t& index) {
  if (text.size() != 25 || text[8] != L':') return false;
  std::uint64_t parts[2] = {0, 0};
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i == 8) continue;
    const wchar_t c = text[i];
    const int digit = c >= L'0' && c <= L'9' ? c - L'0' : c >= L'A' && c <= L'F' ? c - L'A' + 10 : -1;
    if (digit < 0) return false;
    std::uint64_t& part = parts[i < 8 ? 0 : 1];
    part = part * 16 + static_cast<std::uint64_t>(digit);
  }
  volume = static_cast<std::uint32_t>(parts[0]);
  index = parts[1];
  return true;
}

// ---- The plan ----------------------------------------------------------------------------------

KitPlaces MakeKitPlaces(const std::wstring& roaming, const std::wstring& programFiles, const std::wstring& work,
                        const std::wstring& windows) {
  KitPlaces places;
  places.vendorUser = Join(roaming, kVendorFolder);
  places.neighbourUser = Join(roaming, kNeighbourName);
  places.vendorProgram = Join(programFiles, kVendorFolder);
  places.neighbourProgram = Join(programFiles, kNeighbourName);
  places.probeFolder = Join(programFiles, L"velmirant-selfcheck-probe");
  places.junction = Join(places.vendorUser, kJunctionName);
  places.junctionTarget = Join(places.neighbourUser, L"cache");
  places.work = work;
  places.absent = Join(windows, L"velmirant-selfcheck-absent");
  return places;
}

bool InPlan(const KitPlaces& places, const MadeThing& thing) {
  switch (thing.kind) {
    case MadeKind::kFolder:
    case MadeKind::kIdentity:
      return AnySameName({places.vendorUser, places.neighbourUser, places.vendorProgram, places.neighbourProgram,
                          places.probeFolder},
                         thing.path);
    case MadeKind::kJunction:
      return SameName(thing.path, places.junction);
    case MadeKind::kProgram:
      for (const wchar_t* name : kTargetStandIns) {
        if (SameName(thing.path, Join(places.work, name))) return true;
      }
      for (const wchar_t* name : {kNeighbourStandIn, kKitCopy, kToolCopy}) {
        if (SameName(thing.path, Join(places.work, name))) return true;
      }
      return false;
    case MadeKind::kKey:
      // A seed's key, or one above it below the hive: the kit makes those that are missing.
      for (const RegistrySeed& seed : kRegistrySeeds) {
        const std::wstring key = seed.key;
        if (thing.path.size() < 6 || thing.path.size() > key.size() || thing.path.find(L'\\') != 4) continue;
        const bool ends = thing.path.size() == key.size() || key[thing.path.size()] == L'\\';
        if (ends && SameName(thing.path, key.substr(0, thing.path.size()))) return true;
      }
      return false;
    case MadeKind::kValue:
      for (const RegistrySeed& seed : kRegistrySeeds) {
        if (SameName(thing.path, seed.key) && SameName(thing.name, seed.name)) return true;
      }
      return SameName(thing.path, kMachineRunKey) && SameName(thing.name, kProbeValue);
  }
  return false;
}

// ---- Is it still what the kit made --------------------------------------------------------------

const MadeThing* RecordedIdentity(const ParsedRecord& record, const std::wstring& path) {
  const MadeThing* found = nullptr;
  for (const MadeThing& thing : record.things) {
    if (thing.kind == MadeKind::kIdentity && SameName(thing.path, path)) found = &thing;
  }
  return found;
}

bool SameFile(const FileFacts& made, const FileFacts& found) {
  return made.volume == found.volume && made.index == found.index && made.size == found.size &&
         made.digest == found.digest;
}

bool HeldFileDeleted(const HeldFileWatch& watch) {
  return watch.deletionSeen && !watch.moved && watch.goneAfter;
}

bool HoldsSeedData(std::uint32_t type, const std::vector<unsigned char>& bytes, const SeedValueData& due) {
  return type == due.type && bytes == due.bytes;
}

std::wstring EscapeControls(const std::wstring& line) {
  std::wstring shown;
  for (const wchar_t c : line) {
    if (c >= 0x20 && (c < 0x7F || c > 0x9F)) {
      shown += c;
      continue;
    }
    wchar_t code[8];
    std::swprintf(code, sizeof code / sizeof code[0], L"\\x%02X", static_cast<unsigned>(c));
    shown += code;
  }
  return shown;
}
