// The work area (the record and the copies of the programs the kit runs) and the record of what
// the kit makes. From an administrator's prompt the work area lies where only Administrators and
// SYSTEM may write, and a record line is acted on only when it names the kit's own plan and that
// thing is still the one the kit made.
#include "selfcheck.h"

namespace {

// The folder's owner and DACL, read through the handle that holds it.
bool ReadFolderSecurity(HANDLE folder, FolderSecurity& security) {
  DWORD size = 0;
  const SECURITY_INFORMATION asked = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  GetKernelObjectSecurity(folder, asked, nullptr, 0, &size);
  std::vector<unsigned char> descriptor(size);
  return size > 0 && GetKernelObjectSecurity(folder, asked, descriptor.data(), size, &size) &&
         ReadDescriptor(descriptor, security);
}

}  // namespace

bool OpenWorkArea(Kit& kit, bool create, bool& existed, std::wstring& why) {
  const std::wstring& work = kit.places.work;
  existed = Exists(work);
  if (kit.workFolder.Valid()) return true;  // checked, and held since
  if (!existed && !create) return true;
  // An administrator's is made with its security; a standard user's is in that user's own
  // temporary folder, where there is nobody to guard against.
  const std::vector<unsigned char> descriptor = WorkAreaDescriptor();
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, const_cast<unsigned char*>(descriptor.data()), FALSE};
  if (!existed && !CreateDirectoryW(work.c_str(), kit.admin ? &attributes : nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    why = Failed(L"CreateDirectoryW") + L" for " + work;
    return false;
  }
  // Held without delete sharing: nobody can rename it or put another folder in its place meanwhile.
  FileHandle folder(CreateFileW(work.c_str(), READ_CONTROL | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  std::wstring notItself;
  if (!folder.Valid()) {
    why = Failed(L"opening the work folder") + L" for " + work;
    return false;
  }
  if (!IsEntryItself(folder.Get(), work, true, notItself)) {
    why = work + L" is not a plain folder (" + notItself + L"): remove it, then run again";
    return false;
  }
  FolderSecurity security;
  if (kit.admin && !ReadFolderSecurity(folder.Get(), security)) {
    why = Failed(L"reading the work folder's security") + L" for " + work;
    return false;
  }
  if (kit.admin && !IsWorkAreaSecurity(security)) {
    if (!kit.wine) {
      why = L"the work folder " + work + L" is there, but not as the self-check makes it (owned by Administrators, " +
            L"only they and SYSTEM may change it): remove it, then run again";
      return false;
    }
    if (!kit.workAreaNoted) {
      Say(kit, L"Note: this platform (Wine) keeps no security descriptor for a folder: the work folder " + work +
                   L" is not guarded from standard users here, as it is on Windows.");
    }
    kit.workAreaNoted = true;
  }
  kit.workFolder = std::move(folder);
  return true;
}

bool Remember(Kit& kit, MadeKind kind, const std::wstring& path, const std::wstring& name) {
  const std::string line = Narrow(FormatRecordLine({kind, path, name}), CP_UTF8);
  FileHandle file(CreateFileW(kit.record.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr));
  DWORD written = 0;
  return file.Valid() && WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
         written == line.size() && FlushFileBuffers(file.Get());
}

bool MakeFolder(Kit& kit, const std::wstring& path, std::wstring& why) {
  if (PathPresence(path) != Presence::kGone) {
    why = path + L" is already there and the self-check did not make it: remove it, or use another machine";
    return false;
  }
  if (!Remember(kit, MadeKind::kFolder, path)) {
    why = L"cannot write the record " + kit.record;
    return false;
  }
  FileHandle folder;
  {
    ActingAs actor(ActorFor(kit, path));
    if (actor.Failed()) {
      why = Failed(L"ImpersonateLoggedOnUser") + L": " + path + L" is not made";
    } else if (!CreateDirectoryW(path.c_str(), nullptr)) {
      why = L"cannot create " + path + L" (" + Code(GetLastError()) + L")";
    } else {
      folder = FileHandle(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    }
  }
  if (!why.empty()) {
    // Somebody else's, made meanwhile: "-" says the kit made nothing there.
    Remember(kit, MadeKind::kIdentity, path, L"-");
    return false;
  }
  platform::FileIdentity identity;
  if (!folder.Valid() || platform::GetFileIdentity(folder.Get(), identity) != 0 ||
      !Remember(kit, MadeKind::kIdentity, path, FormatIdentity(identity.volume, identity.index))) {
    why = L"cannot record which folder " + path + L" is";
    return false;
  }
  return true;
}
