// Files: what is there, whole-file reads and writes, and the result folder, which the kit opens and
// writes to without ever following a link.
#include "selfcheck.h"
#include "platform/win32_module.h"
#include "selfcheck_pin.h"

Presence PathPresence(const std::wstring& path) {
  if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return Presence::kThere;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Presence::kGone : Presence::kUnknown;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool WriteWholeFile(const std::wstring& path, const std::string& bytes, DWORD disposition, FileFacts* facts) {
  FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  platform::FileIdentity identity;
  if (!file.Valid() || !WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size() || !FlushFileBuffers(file.Get())) {
    return false;
  }
  if (facts == nullptr) return true;
  *facts = {0, 0, bytes.size(), Sha256(bytes)};
  if (platform::GetFileIdentity(file.Get(), identity) != 0) return false;
  facts->volume = identity.volume;
  facts->index = identity.index;
  return true;
}

bool ReadHandle(HANDLE file, std::string& bytes) {
  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
  bytes.clear();
  char buffer[4096];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &read, nullptr)) return false;
    if (read == 0) return true;
    bytes.append(buffer, read);
  }
}

namespace {

// Whether the open file is the image this process runs. Windows lets anyone rename a running
// image, so a user who may write beside the kit could have put another file under its name.
bool IsRunningImage(HANDLE file) {
  using GetMappedFileName = DWORD(WINAPI*)(HANDLE, LPVOID, LPWSTR, DWORD);
  auto mappedName = platform::FindFunction<GetMappedFileName>(GetModuleHandleW(L"kernel32.dll"), "K32GetMappedFileNameW");
  if (mappedName == nullptr) {  // Vista has it in psapi only
    mappedName = platform::FindFunction<GetMappedFileName>(platform::LoadSystemModule(L"psapi.dll"), "GetMappedFileNameW");
  }
  constexpr DWORD kSize = 32768;
  std::wstring mapped(kSize, L'\0'), held(kSize, L'\0');
  const DWORD mappedLength = mappedName != nullptr ? mappedName(GetCurrentProcess(), GetModuleHandleW(nullptr), &mapped[0], kSize) : 0;
  if (mappedLength == 0 || mappedLength >= kSize) return false;
  mapped.resize(mappedLength);
  // Windows names the mapped file by its volume device (\Device\HarddiskVolume3\...); Wine by its
  // DOS path behind \??\ (\??\C:\...). The held file's final path is asked in the same form.
  const bool dosForm = mapped.compare(0, 4, L"\\??\\") == 0;
  const DWORD heldLength = GetFinalPathNameByHandleW(file, &held[0], kSize,
                                                     FILE_NAME_NORMALIZED | (dosForm ? VOLUME_NAME_DOS : VOLUME_NAME_NT));
  if (heldLength == 0 || heldLength >= kSize) return false;
  held.resize(heldLength);
  if (dosForm) {
    mapped.erase(0, 4);
    if (held.compare(0, 4, L"\\\\?\\") == 0) held.erase(0, 4);
  }
  return platform::SamePath(mapped, held);
}

}  // namespace

bool ReadImages(Kit& kit, std::wstring& why) {
  const bool tool = !kit.options.cleanUpOnly;
  kit.selfFile = FileHandle(CreateFileW(kit.self.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (tool) {
    kit.toolFile = FileHandle(CreateFileW(kit.tool.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  }
  if (!kit.selfFile.Valid() || (tool && !kit.toolFile.Valid())) {
    why = Failed(L"opening this program and velmirant-cleanup.exe beside it");
  } else if (!IsRunningImage(kit.selfFile.Get())) {
    why = kit.self + L" is not the program that runs: it was renamed, and another file put in its place";
  } else if (!ReadHandle(kit.selfFile.Get(), kit.selfImage) || (tool && !ReadHandle(kit.toolFile.Get(), kit.toolImage))) {
    why = Failed(L"reading this program and velmirant-cleanup.exe beside it");
  } else if ((kit.selfDigest = HexOf(AuthenticodeDigest(kit.selfImage))).empty()) {
    why = kit.self + L" cannot be read as a program";
  } else if (tool && (kit.toolDigest = HexOf(AuthenticodeDigest(kit.toolImage))) != kPinnedToolDigest) {
    why = kit.tool + L" is not the velmirant-cleanup.exe this self-check was released with (its image's digest is " +
          Wide(kit.toolDigest.empty() ? std::string("none: no program") : kit.toolDigest) + L", the one due " +
          Wide(kPinnedToolDigest) + L"): this self-check runs only that one; unpack the whole zip again";
  } else {
    return true;
  }
  return false;
}

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
  FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr));
  return file.Valid() && ReadHandle(file.Get(), bytes);
}

Presence ReadFileFacts(const std::wstring& path, FileFacts& facts) {
  FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.Valid()) return PathPresence(path) == Presence::kGone ? Presence::kGone : Presence::kUnknown;
  std::string bytes;
  platform::FileIdentity identity;
  if (!ReadHandle(file.Get(), bytes) || platform::GetFileIdentity(file.Get(), identity) != 0) return Presence::kUnknown;
  facts = {identity.volume, identity.index, bytes.size(), Sha256(bytes)};
  return Presence::kThere;
}

std::wstring PlainPath(const std::wstring& finalPath) {
  if (finalPath.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\\\" + finalPath.substr(8);
  if (finalPath.compare(0, 4, L"\\\\?\\") == 0) return finalPath.substr(4);
  return finalPath;
}

bool IsEntryItself(HANDLE handle, const std::wstring& path, bool folder, std::wstring& why) {
  BY_HANDLE_FILE_INFORMATION info = {};
  std::wstring finalPath;
  // Wine lists a Unix link as a reparse point by its path, yet opens what it leads to.
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (!GetFileInformationByHandle(handle, &info)) {
    why = Failed(L"GetFileInformationByHandle");
  } else if (((info.dwFileAttributes | (attributes == INVALID_FILE_ATTRIBUTES ? 0 : attributes)) &
              FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    why = L"it is a link (a junction or a symbolic link)";
  } else if (((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != folder) {
    why = folder ? L"it is not a folder" : L"it is not a file";
  } else if (const std::uint32_t error = platform::GetFinalPath(handle, finalPath)) {
    why = L"where it leads cannot be told (" + Code(error) + L")";
  } else if (!platform::SamePath(PlainPath(finalPath), path)) {
    why = L"it is reached through a link: it leads to " + PlainPath(finalPath);
  } else {
    return true;
  }
  return false;
}

bool RemoveFile(const std::wstring& path, std::wstring& why) {
  FileHandle old(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!old.Valid()) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return true;
    why = Failed(L"opening it");
    return false;
  }
  if (!IsEntryItself(old.Get(), path, false, why)) return false;
  // Where another program holds it with delete sharing, only POSIX deletion frees its name at once.
  std::uint32_t error = platform::MarkForPosixDeletion(old.Get(), false);
  if (error == 1 || error == 50 || error == 87) error = platform::MarkForDeletion(old.Get());
  if (error != 0) {
    why = L"it cannot be replaced (" + Code(error) + L")";
    return false;
  }
  return true;
}

std::wstring LongPath(const std::wstring& path) {
  std::wstring full(32768, L'\0');
  const DWORD length = GetLongPathNameW(path.c_str(), &full[0], static_cast<DWORD>(full.size()));
  return length > 0 && length < full.size() ? full.substr(0, length) : path;
}

bool OpenResults(Kit& kit, std::wstring& why) {
  const std::wstring target = kit.results;
  // The drive's root ("C:") or the share's ("\\server\share"), then each folder below it.
  std::size_t end = target.compare(0, 2, L"\\\\") == 0 ? target.find(L'\\', target.find(L'\\', 2) + 1) : 2;
  if (end == std::wstring::npos) end = target.size();
  std::wstring path = target.substr(0, end);
  const auto openFolder = [](const std::wstring& folder) {
    return FileHandle(CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  };
  for (bool root = true;; root = false) {
    // Final paths give each name in full: a folder that is there is named so (not in its 8.3 form).
    if (!root) path = LongPath(path);
    FileHandle folder = openFolder(root ? path + L"\\" : path);
    // A missing folder is made only below one that is held and was found to be itself.
    if (!folder.Valid() && !root && GetLastError() == ERROR_FILE_NOT_FOUND && CreateDirectoryW(path.c_str(), nullptr)) {
      folder = openFolder(path);
    }
    if (!folder.Valid()) {
      why = path + L": " + Failed(L"opening or creating it");
      return false;
    }
    if (!root && !IsEntryItself(folder.Get(), path, true, why)) {
      why = path + L": " + why;
      return false;
    }
    kit.resultsFolders.push_back(std::move(folder));
    if (end >= target.size()) break;
    const std::size_t next = target.find(L'\\', end + 1);
    const std::size_t stop = next == std::wstring::npos ? target.size() : next;
    path += target.substr(end, stop - end);
    end = stop;
  }
  kit.results = path;
  return true;
}

bool CreateResultFile(Kit& kit, const std::wstring& name, FileHandle& file, std::wstring& why) {
  const std::wstring path = kit.results + L"\\" + name;
  if (!RemoveFile(path, why)) {
    why = path + L": " + why;
    return false;
  }
  // CREATE_NEW never opens what is there: a link put in place meanwhile makes it fail.
  FileHandle made(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!made.Valid()) {
    why = path + L": " + Failed(L"creating it");
    return false;
  }
  if (!IsEntryItself(made.Get(), path, false, why)) {
    platform::MarkForDeletion(made.Get());
    why = path + L": " + why;
    return false;
  }
  file = std::move(made);
  return true;
}
