// The work area (the record, the stand-ins and their lock files) and the clean-up of what the
// record names. From an administrator's prompt the work area lies where only Administrators and
// SYSTEM may write, and a record line is acted on only when it names the kit's own plan and that
// thing is still the one the kit made.
#include "selfcheck.h"
#include "platform/remove_tree.h"

namespace {

union SidBuffer {
  SID sid;
  BYTE bytes[SECURITY_MAX_SID_SIZE];
};

constexpr WELL_KNOWN_SID_TYPE kTrusteeSids[3] = {WinLocalSystemSid, WinBuiltinAdministratorsSid, WinBuiltinUsersSid};

Trustee TrusteeOf(PSID sid) {
  for (int i = 0; i < 3; ++i) {
    if (sid != nullptr && IsWellKnownSid(sid, kTrusteeSids[i])) return static_cast<Trustee>(i);
  }
  return Trustee::kOther;
}

// The work area's security descriptor, as kWorkAreaAccess has it, owned by Administrators.
struct WorkAreaDescriptor {
  SidBuffer sids[3];
  union {
    ACL acl;
    BYTE bytes[sizeof(ACL) + 3 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE)];
  } dacl;
  SECURITY_DESCRIPTOR descriptor;
};

bool MakeDescriptor(WorkAreaDescriptor& made, std::wstring& why) {
  for (int i = 0; i < 3; ++i) {
    DWORD size = sizeof made.sids[i];
    if (!CreateWellKnownSid(kTrusteeSids[i], nullptr, &made.sids[i].sid, &size)) {
      why = Failed(L"CreateWellKnownSid");
      return false;
    }
  }
  if (!InitializeAcl(&made.dacl.acl, sizeof made.dacl, ACL_REVISION)) {
    why = Failed(L"InitializeAcl");
    return false;
  }
  for (const AccessEntry& entry : kWorkAreaAccess) {
    if (!AddAccessAllowedAceEx(&made.dacl.acl, ACL_REVISION, entry.flags, entry.mask,
                               &made.sids[static_cast<int>(entry.trustee)].sid)) {
      why = Failed(L"AddAccessAllowedAceEx");
      return false;
    }
  }
  if (!InitializeSecurityDescriptor(&made.descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorOwner(&made.descriptor, &made.sids[1].sid, FALSE) ||
      !SetSecurityDescriptorDacl(&made.descriptor, TRUE, &made.dacl.acl, FALSE) ||
      !SetSecurityDescriptorControl(&made.descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    why = Failed(L"building the work folder's security descriptor");
    return false;
  }
  return true;
}

// The folder's owner and DACL, from a handle that is the folder itself, never a link.
bool ReadFolderSecurity(const std::wstring& path, FolderSecurity& security, std::wstring& why) {
  FileHandle folder(CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info = {};
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (!folder.Valid() || !GetFileInformationByHandle(folder.Get(), &info)) {
    why = Failed(L"opening the work folder") + L" for " + path;
    return false;
  }
  if (((info.dwFileAttributes | attributes) & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    why = path + L" is not a plain folder (a link, or a file): remove it, then run again";
    return false;
  }
  DWORD size = 0;
  const SECURITY_INFORMATION asked = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  GetKernelObjectSecurity(folder.Get(), asked, nullptr, 0, &size);
  std::vector<BYTE> buffer(size > 0 ? size : 1);
  const PSECURITY_DESCRIPTOR descriptor = buffer.data();
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!GetKernelObjectSecurity(folder.Get(), asked, descriptor, size, &size) ||
      !GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
      !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) ||
      !GetSecurityDescriptorControl(descriptor, &control, &revision)) {
    why = Failed(L"reading the work folder's security") + L" for " + path;
    return false;
  }
  security.owner = TrusteeOf(owner);
  security.protectedDacl = (control & SE_DACL_PROTECTED) != 0;
  for (DWORD i = 0; present && dacl != nullptr && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) {
      why = Failed(L"GetAce") + L" for " + path;
      return false;
    }
    const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
    const bool allows = header->AceType == ACCESS_ALLOWED_ACE_TYPE;
    const ACCESS_ALLOWED_ACE* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    security.entries.push_back({allows ? TrusteeOf(const_cast<DWORD*>(&allowed->SidStart)) : Trustee::kOther, allows,
                                allows ? allowed->Mask : 0, header->AceFlags});
  }
  return true;
}

}  // namespace

bool OpenWorkArea(Kit& kit, bool create, bool& existed, std::wstring& why) {
  const std::wstring& work = kit.places.work;
  existed = Exists(work);
  // A standard user's own temporary folder: there is nobody there to guard against.
  if (!kit.admin) {
    if (!create || existed || CreateDirectoryW(work.c_str(), nullptr)) return true;
    why = Failed(L"CreateDirectoryW") + L" for " + work;
    return false;
  }
  if (!existed && !create) return true;
  if (!existed) {
    WorkAreaDescriptor made;
    if (!MakeDescriptor(made, why)) return false;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &made.descriptor, FALSE};
    if (!CreateDirectoryW(work.c_str(), &attributes) && GetLastError() != ERROR_ALREADY_EXISTS) {
      why = Failed(L"CreateDirectoryW") + L" for " + work;
      return false;
    }
  }
  FolderSecurity security;
  if (!ReadFolderSecurity(work, security, why)) return false;
  if (IsWorkAreaSecurity(security)) return true;
  if (kit.wine) {
    if (kit.workAreaNoted) return true;
    kit.workAreaNoted = true;
    Say(kit, L"Note: this platform (Wine) keeps no security descriptor for a folder: the work folder " + work +
                 L" is not guarded from standard users here, as it is on Windows.");
    return true;
  }
  why = L"the work folder " + work + L" is there, but not as the self-check makes it (owned by Administrators, " +
        L"only they and SYSTEM may change it): remove it, then run again";
  return false;
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
    if (!CreateDirectoryW(path.c_str(), nullptr)) {
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
