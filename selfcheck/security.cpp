// The work area's security and the made token's default DACL, as the bytes Windows reads and
// gives back (self-relative security descriptors and ACLs, as Microsoft documents their layout).
#include <algorithm>

#include "kit.h"

namespace {

constexpr std::uint32_t kFullAccess = 0x1F01FF;      // FILE_ALL_ACCESS
constexpr std::uint32_t kReadAndExecute = 0x1200A9;  // FILE_GENERIC_READ | FILE_GENERIC_EXECUTE
constexpr std::uint8_t kInherited = 0x03;            // OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE
constexpr std::uint32_t kGenericAll = 0x10000000;
constexpr std::uint16_t kDaclPresent = 0x0004, kDaclProtected = 0x1000, kSelfRelative = 0x8000;
constexpr std::size_t kDescriptorHeader = 20, kAclHeader = 8, kAceHeader = 8;

constexpr std::uint32_t kReadControl = 0x20000;

// S-1-5-18, S-1-5-32-544, S-1-5-32-545 and S-1-3-4 (OWNER RIGHTS), in Trustee's order.
const std::vector<unsigned char> kSids[4] = {
    {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0},
    {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0},
    {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x21, 2, 0, 0},
    {1, 1, 0, 0, 0, 0, 0, 3, 4, 0, 0, 0},
};

void Put(std::vector<unsigned char>& bytes, std::size_t at, std::uint32_t value, int size) {
  for (int i = 0; i < size; ++i) bytes[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint32_t Get(const std::vector<unsigned char>& bytes, std::size_t at, int size) {
  std::uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = value << 8 | bytes[at + static_cast<std::size_t>(i)];
  return value;
}

// The SID at `at`, where it lies wholly inside; its length, or 0.
std::size_t SidLength(const std::vector<unsigned char>& bytes, std::size_t at) {
  if (at == 0 || at + 8 > bytes.size() || bytes[at] != 1) return 0;
  const std::size_t length = 8 + 4 * std::size_t{bytes[at + 1]};
  return at + length <= bytes.size() ? length : 0;
}

Trustee TrusteeAt(const std::vector<unsigned char>& bytes, std::size_t at, std::size_t length) {
  for (int i = 0; i < 4; ++i) {
    if (length == kSids[i].size() && std::equal(kSids[i].begin(), kSids[i].end(), bytes.begin() + static_cast<long>(at))) {
      return static_cast<Trustee>(i);
    }
  }
  return Trustee::kOther;
}

}  // namespace

const AccessEntry kWorkAreaAccess[3] = {
    {Trustee::kSystem, true, kFullAccess, kInherited},
    {Trustee::kAdministrators, true, kFullAccess, kInherited},
    {Trustee::kUsers, true, kReadAndExecute, kInherited},
};

const AccessEntry kMadeTokenAccess[3] = {
    {Trustee::kSystem, true, kGenericAll, 0},
    {Trustee::kAdministrators, true, kGenericAll, 0},
    {Trustee::kOwnerRights, true, kReadControl, 0},
};

// PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE for the user: what the tool opens them with.
const AccessEntry kStandInAccess[4] = {
    {Trustee::kSystem, true, kGenericAll, 0},
    {Trustee::kAdministrators, true, kGenericAll, 0},
    {Trustee::kOwnerRights, true, kReadControl, 0},
    {Trustee::kOther, true, 0x0001 | 0x1000 | 0x100000, 0},
};

bool IsWorkAreaSecurity(const FolderSecurity& security) {
  if (security.owner != Trustee::kAdministrators || !security.protectedDacl) return false;
  if (security.entries.size() != sizeof kWorkAreaAccess / sizeof kWorkAreaAccess[0]) return false;
  for (std::size_t i = 0; i < security.entries.size(); ++i) {
    const AccessEntry& due = kWorkAreaAccess[i];
    const AccessEntry& entry = security.entries[i];
    if (entry.trustee != due.trustee || !entry.allows || entry.mask != due.mask || entry.flags != due.flags) return false;
  }
  return true;
}

// Allow entries only (ACCESS_ALLOWED_ACE_TYPE), ACL_REVISION.
std::vector<unsigned char> MakeAcl(const AccessEntry* entries, std::size_t count, const std::vector<unsigned char>& other) {
  std::vector<unsigned char> acl(kAclHeader);
  for (std::size_t i = 0; i < count; ++i) {
    const std::vector<unsigned char>& sid =
        entries[i].trustee == Trustee::kOther ? other : kSids[static_cast<int>(entries[i].trustee)];
    const std::size_t at = acl.size();
    acl.resize(at + kAceHeader + sid.size());
    acl[at + 1] = entries[i].flags;
    Put(acl, at + 2, static_cast<std::uint32_t>(kAceHeader + sid.size()), 2);
    Put(acl, at + 4, entries[i].mask, 4);
    std::copy(sid.begin(), sid.end(), acl.begin() + static_cast<long>(at + kAceHeader));
  }
  acl[0] = 2;
  Put(acl, 2, static_cast<std::uint32_t>(acl.size()), 2);
  Put(acl, 4, static_cast<std::uint32_t>(count), 2);
  return acl;
}

std::vector<unsigned char> MakeDescriptor(const std::vector<unsigned char>& owner, const std::vector<unsigned char>& acl) {
  std::vector<unsigned char> descriptor(kDescriptorHeader);
  descriptor[0] = 1;
  Put(descriptor, 2, kSelfRelative | kDaclPresent | kDaclProtected, 2);
  if (!owner.empty()) {
    Put(descriptor, 4, static_cast<std::uint32_t>(descriptor.size()), 4);
    descriptor.insert(descriptor.end(), owner.begin(), owner.end());
  }
  Put(descriptor, 16, static_cast<std::uint32_t>(descriptor.size()), 4);
  descriptor.insert(descriptor.end(), acl.begin(), acl.end());
  return descriptor;
}

std::vector<unsigned char> WorkAreaDescriptor() {
  return MakeDescriptor(kSids[static_cast<int>(Trustee::kAdministrators)],
                        MakeAcl(kWorkAreaAccess, sizeof kWorkAreaAccess / sizeof kWorkAreaAccess[0]));
}

bool ReadDescriptor(const std::vector<unsigned char>& bytes, FolderSecurity& security) {
  security = FolderSecurity();
  if (bytes.size() < kDescriptorHeader || bytes[0] != 1) return false;
  const std::uint32_t control = Get(bytes, 2, 2);
  if ((control & kSelfRelative) == 0) return false;
  const std::size_t owner = Get(bytes, 4, 4), ownerLength = SidLength(bytes, owner);
  if (owner != 0 && ownerLength == 0) return false;
  security.owner = owner == 0 ? Trustee::kOther : TrusteeAt(bytes, owner, ownerLength);
  security.protectedDacl = (control & kDaclProtected) != 0;
  const std::size_t acl = Get(bytes, 16, 4);
  if ((control & kDaclPresent) == 0 || acl == 0) return true;  // no DACL: nobody is kept out
  if (acl + kAclHeader > bytes.size()) return false;
  const std::size_t end = acl + Get(bytes, acl + 2, 2), count = Get(bytes, acl + 4, 2);
  if (end > bytes.size()) return false;
  std::size_t at = acl + kAclHeader;
  for (std::size_t i = 0; i < count; ++i) {
    if (at + kAceHeader > end) return false;
    const std::size_t size = Get(bytes, at + 2, 2);
    if (size < kAceHeader || at + size > end) return false;
    const bool allows = bytes[at] == 0;
    const std::size_t sidLength = allows ? SidLength(bytes, at + kAceHeader) : 0;
    if (allows && (sidLength == 0 || kAceHeader + sidLength > size)) return false;
    security.entries.push_back({allows ? TrusteeAt(bytes, at + kAceHeader, sidLength) : Trustee::kOther, allows,
                                allows ? Get(bytes, at + 4, 4) : 0, bytes[at + 1]});
    at += size;
  }
  return true;
}
