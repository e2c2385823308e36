// The tokens the kit runs with: whether this one is SYSTEM's or in Administrators, a standard
// user's token made from it, and a child's proof that it runs as one.
#include "selfcheck.h"
// After <windows.h>, which it needs.
#include <winsafer.h>

namespace {

union SidBuffer {
  SID sid;
  BYTE bytes[SECURITY_MAX_SID_SIZE];
};

// This process's token with `access`; null where it cannot be opened.
HANDLE OwnToken(DWORD access) {
  HANDLE token = nullptr;
  return OpenProcessToken(GetCurrentProcess(), access, &token) ? token : nullptr;
}

}  // namespace

bool IsLocalSystem() {
  KernelHandle token(OwnToken(TOKEN_QUERY));
  if (!token.Valid()) return false;
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } buffer;
  DWORD size = 0;
  return GetTokenInformation(token.Get(), TokenUser, &buffer, sizeof buffer, &size) &&
         IsWellKnownSid(buffer.user.User.Sid, WinLocalSystemSid);
}

// This process's own word, which is what counts: a group for deny only is no membership.
bool InAdministrators(BOOL& member) {
  SidBuffer administrators;
  DWORD size = sizeof administrators;
  return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, &administrators.sid, &size) &&
         CheckTokenMembership(nullptr, &administrators.sid, &member);
}

bool IsElevated() {
  TOKEN_ELEVATION elevation = {};
  KernelHandle token(OwnToken(TOKEN_QUERY));
  DWORD size = 0;
  return token.Valid() && GetTokenInformation(token.Get(), TokenElevation, &elevation, sizeof elevation, &size) &&
         elevation.TokenIsElevated != 0;
}

bool PerUser(const Kit& kit, const std::wstring& path) {
  return path.compare(0, 5, L"HKCU\\") == 0 || SameName(path, kit.places.vendorUser) ||
         SameName(path, kit.places.neighbourUser) || SameName(path, kit.places.junction);
}

HANDLE ActorFor(const Kit& kit, const std::wstring& path) { return PerUser(kit, path) ? kit.userToken.Get() : nullptr; }

bool StandInSecurity(const Kit& kit, std::vector<unsigned char>& descriptor) {
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } user;
  DWORD size = 0;
  if (!GetTokenInformation(kit.userToken.Get(), TokenUser, &user, sizeof user, &size)) return false;
  const BYTE* sid = static_cast<const BYTE*>(user.user.User.Sid);
  const std::vector<unsigned char> other(sid, sid + GetLengthSid(user.user.User.Sid));
  descriptor = MakeDescriptor({}, MakeAcl(kStandInAccess, 4, other));
  return true;
}

TOKEN_ELEVATION_TYPE ElevationType() {
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  KernelHandle token(OwnToken(TOKEN_QUERY));
  DWORD size = 0;
  if (token.Valid()) GetTokenInformation(token.Get(), TokenElevationType, &type, sizeof type, &size);
  return type;
}

int ProveStandardUser() {
  BOOL member = TRUE;
  if (!InAdministrators(member)) return 3;
  if (member) return 1;
  KernelHandle token(OwnToken(TOKEN_QUERY));
  union {
    TOKEN_MANDATORY_LABEL label;
    BYTE bytes[sizeof(TOKEN_MANDATORY_LABEL) + SECURITY_MAX_SID_SIZE];
  } buffer;
  DWORD size = 0;
  if (!token.Valid() ||
      !GetTokenInformation(token.Get(), TokenIntegrityLevel, &buffer, sizeof buffer, &size)) {
    return 3;
  }
  const PSID label = buffer.label.Label.Sid;
  const DWORD level = *GetSidSubAuthority(label, *GetSidSubAuthorityCount(label) - 1);
  return level <= SECURITY_MANDATORY_MEDIUM_RID ? 0 : 2;
}

namespace {

bool SetMediumIntegrity(HANDLE token, std::wstring& why) {
  SidBuffer medium;
  DWORD size = sizeof medium;
  if (!CreateWellKnownSid(WinMediumLabelSid, nullptr, &medium.sid, &size)) {
    why = Failed(L"CreateWellKnownSid(WinMediumLabelSid)");
    return false;
  }
  TOKEN_MANDATORY_LABEL label = {};
  label.Label.Attributes = SE_GROUP_INTEGRITY;
  label.Label.Sid = &medium.sid;
  if (!SetTokenInformation(token, TokenIntegrityLevel, &label, sizeof label + GetLengthSid(&medium.sid))) {
    why = Failed(L"SetTokenInformation(TokenIntegrityLevel)");
    return false;
  }
  return true;
}

// The made token's owner is this user (a restricted token would keep Administrators); its default
// DACL lets only SYSTEM and Administrators open what is started with it, and its owner only read
// that DACL (an OWNER RIGHTS entry; without it an owner may always rewrite it), so no other program
// of the user can end, read or write into the tool or the token's proof.
bool SetOwnerAndDefaultDacl(HANDLE token, std::wstring& why) {
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } user;
  DWORD size = 0;
  if (!GetTokenInformation(token, TokenUser, &user, sizeof user, &size)) {
    why = Failed(L"GetTokenInformation(TokenUser)");
    return false;
  }
  TOKEN_OWNER owner = {user.user.User.Sid};
  std::vector<unsigned char> dacl = MakeAcl(kMadeTokenAccess, 3);
  TOKEN_DEFAULT_DACL defaultDacl = {reinterpret_cast<PACL>(dacl.data())};
  if (!SetTokenInformation(token, TokenOwner, &owner, sizeof owner) ||
      !SetTokenInformation(token, TokenDefaultDacl, &defaultDacl, sizeof defaultDacl)) {
    why = Failed(L"setting the made token's owner and default DACL");
    return false;
  }
  return true;
}

}  // namespace

// A standard user's token made from this process's: the Safer "normal user" level that
// `runas /trustlevel:0x20000` uses (Administrators for deny only, administrative privileges gone),
// else a restricted LUA token of the same kind; at medium integrity. Null, with the reasons.
HANDLE MakeStandardUserToken(std::wstring& why) {
  SAFER_LEVEL_HANDLE level = nullptr;
  HANDLE safer = nullptr;
  if (!SaferCreateLevel(SAFER_SCOPEID_USER, SAFER_LEVELID_NORMALUSER, SAFER_LEVEL_OPEN, &level, nullptr)) {
    why = Failed(L"SaferCreateLevel");
  } else {
    if (!SaferComputeTokenFromLevel(level, nullptr, &safer, 0, nullptr)) {
      why = Failed(L"SaferComputeTokenFromLevel");
      safer = nullptr;
    }
    SaferCloseLevel(level);
  }
  if (safer != nullptr) {
    // Some platforms (Wine) answer with a handle that is no token.
    TOKEN_TYPE type = TokenImpersonation;
    DWORD size = 0;
    if (!GetTokenInformation(safer, TokenType, &type, sizeof type, &size) || type != TokenPrimary) {
      why = L"Safer gave no primary token";
    } else if (SetMediumIntegrity(safer, why) && SetOwnerAndDefaultDacl(safer, why)) {
      return safer;
    }
    CloseHandle(safer);
  }
  std::wstring restrictedWhy;
  KernelHandle own(OwnToken(TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY | TOKEN_ADJUST_DEFAULT));
  HANDLE restricted = nullptr;
  SidBuffer administrators;
  DWORD size = sizeof administrators;
  if (!own.Valid()) {
    restrictedWhy = Failed(L"OpenProcessToken");
  } else if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, &administrators.sid, &size)) {
    restrictedWhy = Failed(L"CreateWellKnownSid(WinBuiltinAdministratorsSid)");
  } else {
    SID_AND_ATTRIBUTES denyOnly = {&administrators.sid, 0};
    if (!CreateRestrictedToken(own.Get(), DISABLE_MAX_PRIVILEGE | LUA_TOKEN, 1, &denyOnly, 0, nullptr, 0, nullptr,
                               &restricted)) {
      restrictedWhy = Failed(L"CreateRestrictedToken");
      restricted = nullptr;
    } else if (!SetOwnerAndDefaultDacl(restricted, restrictedWhy) ||
               !SetMediumIntegrity(restricted, restrictedWhy)) {
      CloseHandle(restricted);
      restricted = nullptr;
    }
  }
  if (restricted == nullptr) why += L"; " + restrictedWhy;
  return restricted;
}
