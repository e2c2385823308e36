#include "platform/remove_tree.h"

#include <string_view>
#include <utility>
#include <vector>

#include "platform/paths.h"
#include "platform/platform.h"

namespace {

// A folder being emptied: held open (so it cannot be swapped for a link) until it is deleted. Its
// entries are opened relative to this handle where the file system allows it.
struct OpenFolder {
  std::wstring path;       // the top's path, then each entry's name below it
  std::wstring finalPath;  // what its handle reaches; empty where the file system cannot say
  bool finalPathAsked = false;
  platform::FileHandle handle;
  std::vector<platform::DirectoryEntry> entries;
  std::size_t next = 0;
};

// One removal of one tree. What a file system refuses (POSIX delete semantics on FAT or an SMB
// share, its read-only flag on Windows 10 1607 to 1803, OBJ_DONT_REPARSE before 1607, relative
// opens on WinFsp volumes) is remembered for this tree only: the other vendor folder may sit on
// another volume.
struct Removal {
  std::vector<OpenFolder> open;
  bool ignoreReadOnlyRefused = false;
  bool posixDeleteRefused = false;
  bool dontReparseRefused = false;
  bool relativeOpensRefused = false;
  bool opensMayFollowLinks = false;  // Wine, whose opens follow Unix links whatever they ask
  const platform::FileIdentity* top = nullptr;  // what the top must be, where the caller knows
};

// Where an open can reach something other than the listed entry, each entry's final path must
// show that it did not: under Wine, and where the tree is opened by path. Elsewhere a single name
// opened relative to the held folder, as a link, reaches that entry or the link in its place.
bool ChecksEveryEntry(const Removal& removal) { return removal.opensMayFollowLinks || removal.relativeOpensRefused; }

// A folder to be emptied: a plain one, or one whose reparse point stands for no other entry (a
// cloud-file, projected-file-system or container placeholder). A reparse point with no tag counts
// as a link: that is how Wine lists a Unix directory link.
bool IsFolderToEnter(std::uint32_t attributes, std::uint32_t reparseTag) {
  if ((attributes & platform::kAttributeDirectory) == 0) return false;
  if ((attributes & platform::kAttributeReparsePoint) == 0) return true;
  return reparseTag != 0 && (reparseTag & platform::kReparseTagNameSurrogate) == 0;
}

// Something that is gone already, went while we worked, or waits only for another program to let
// go of it (its deletion is pending: Win32 says 5, the NT status tells) needs no deleting.
// Called right after the failed call, while the thread's last NT status is still its.
// The NT statuses of an open that say so.
bool IsGoneStatus(std::uint32_t status) {
  return status == platform::kStatusObjectNameNotFound || status == platform::kStatusObjectPathNotFound ||
         status == platform::kStatusDeletePending;
}

std::uint32_t UnlessGone(std::uint32_t error) {
  if (error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound) return 0;
  if (error == platform::kErrorAccessDenied && IsGoneStatus(platform::LastNtStatus())) return 0;
  return error;
}

// What a file system that does not answer a query class says (the codes Boost.Filesystem met;
// 0x80090006, NTE_BAD_SIGNATURE, from a Samba 3.0 share and a client that requires SMB signing).
bool IsClassNotSupported(std::uint32_t error) {
  for (const std::uint32_t code : {1u, 31u, 50u, 87u, 120u, 124u, 1359u, 0x80090006u}) {
    if (error == code) return true;
  }
  return false;
}

// The final path of the folder that holds path, opened for the purpose; empty where it cannot be had.
std::wstring ParentFinalPath(const std::wstring& path) {
  const std::size_t separator = path.find_last_of(L"\\/");
  if (separator == std::wstring::npos) return {};
  std::wstring parent = path.substr(0, separator);
  if (parent.empty() || parent.back() == L':') parent += L'\\';  // a drive's root
  std::wstring finalPath;
  platform::FileHandle handle(platform::OpenForQuery(parent));
  if (!handle.Valid() || platform::GetFinalPath(handle.Get(), finalPath) != 0) return {};
  return finalPath;
}

// The handle must reach the entry that was listed: its final path is the folder's plus the name.
// Wine follows links even when asked to open them as links, and then the final path names the
// target. Where the file system gives no final path (not even for the folder), the handle opened
// as a link is the entry. Once the folder gave one, an entry that gives none is not trusted: under
// Wine that is what a folder renamed while it is held answers.
std::uint32_t CheckIsListedEntry(platform::Handle handle, const std::wstring& parentFinalPath, std::wstring_view name,
                                 std::wstring& finalPath) {
  if (parentFinalPath.empty()) return 0;
  if (const std::uint32_t error = platform::GetFinalPath(handle, finalPath)) return error;
  return platform::SamePath(finalPath, JoinPath(parentFinalPath, name)) ? 0 : kErrorStoppedOnSymlink;
}

// ERROR_INVALID_FUNCTION, ERROR_NOT_SUPPORTED, ERROR_INVALID_PARAMETER: not on this file system.
bool IsPosixRefusal(std::uint32_t error) { return error == 1 || error == 50 || error == 87; }

// POSIX deletion, which also takes read-only entries without touching their attributes, as the
// C++ library's remove_all does on Windows; where the system refuses that flag (with any of the
// three refusals, which MSVC's library also takes alike), the same entry is asked again without
// it; where POSIX deletion is refused, the classic deletion, which a read-only entry refuses with 5.
std::uint32_t Delete(platform::Handle handle, Removal& removal) {
  if (!removal.posixDeleteRefused) {
    if (!removal.ignoreReadOnlyRefused) {
      const std::uint32_t error = platform::MarkForPosixDeletion(handle, true);
      if (!IsPosixRefusal(error)) return error;
      removal.ignoreReadOnlyRefused = true;
    }
    const std::uint32_t error = platform::MarkForPosixDeletion(handle, false);
    if (!IsPosixRefusal(error)) return error;
    removal.posixDeleteRefused = true;
  }
  return platform::MarkForDeletion(handle);
}

std::uint32_t List(OpenFolder& folder) {
  const std::uint32_t error = platform::ListFolder(folder.handle.Get(), folder.entries);
  if (!IsClassNotSupported(error)) return error;
  folder.entries.clear();
  return platform::ListFolderWithoutIds(folder.handle.Get(), folder.entries);
}

// What a file system that cannot open one name relative to another says: WinFsp volumes answer
// 53 below the first level; STATUS_INVALID_PARAMETER counts once OBJ_DONT_REPARSE is off.
bool IsRelativeOpenRefusal(std::uint32_t status) {
  return status == platform::kStatusNotSupported || status == platform::kStatusInvalidDeviceRequest ||
         status == platform::kStatusInvalidParameter || platform::ErrorFromNtStatus(status) == platform::kErrorBadNetpath;
}

// The entry's name relative to its held parent, first with OBJ_DONT_REPARSE and then, where that
// is refused, without it. Gives false where the file system refuses relative opens altogether.
bool OpenRelative(const OpenFolder& parent, const platform::DirectoryEntry& listed, bool forListing,
                  Removal& removal, platform::Handle& handle, std::uint32_t& error) {
  std::uint32_t status = 0;
  handle = platform::OpenChildForRemoval(parent.handle.Get(), listed.name, forListing, !removal.dontReparseRefused,
                                         status);
  if (handle == platform::InvalidHandle() && status == platform::kStatusInvalidParameter &&
      !removal.dontReparseRefused) {
    removal.dontReparseRefused = true;
    handle = platform::OpenChildForRemoval(parent.handle.Get(), listed.name, forListing, false, status);
  }
  if (handle == platform::InvalidHandle() && IsRelativeOpenRefusal(status)) return false;
  error = handle != platform::InvalidHandle() || IsGoneStatus(status) ? 0 : platform::ErrorFromNtStatus(status);
  return true;
}

// Opens an entry as a link (never followed): the top by its path, every other entry by its name
// relative to its held parent, or by its path where the file system refuses that. An entry that
// is gone, or whose deletion is pending, gives no handle and 0.
platform::Handle Open(const std::wstring& topPath, const OpenFolder* parent, const platform::DirectoryEntry& listed,
                      bool forListing, Removal& removal, std::uint32_t& error) {
  platform::Handle handle = platform::InvalidHandle();
  if (parent != nullptr && !removal.relativeOpensRefused) {
    if (OpenRelative(*parent, listed, forListing, removal, handle, error)) return handle;
    removal.relativeOpensRefused = true;
  }
  handle = platform::OpenForRemoval(parent == nullptr ? topPath : JoinPath(parent->path, listed.name), forListing,
                                    error);
  if (handle == platform::InvalidHandle()) error = UnlessGone(error);
  return handle;
}

// The final path of a folder held already, asked once, where an entry of it must be checked.
const std::wstring& FinalPathOf(OpenFolder& folder) {
  if (!folder.finalPathAsked) {
    folder.finalPathAsked = true;
    if (platform::GetFinalPath(folder.handle.Get(), folder.finalPath) != 0) folder.finalPath.clear();
  }
  return folder.finalPath;
}

// Deletes a file or link at once. A folder to be emptied is opened, checked from its own handle
// and listed, then pushed onto the removal's open folders. `listed` is what the parent's listing
// (or, for the top, the path) said; the handle must agree before anything is entered. `parent`
// is null for the top; it lives in the open folders, so it is read only before those grow.
std::uint32_t Enter(const std::wstring& topPath, OpenFolder* parent, const platform::DirectoryEntry& listed,
                    Removal& removal) {
  const bool listedAsFolder = IsFolderToEnter(listed.attributes, listed.reparseTag);
  std::uint32_t error = 0;
  platform::FileHandle handle(Open(topPath, parent, listed, listedAsFolder, removal, error));
  if (!handle.Valid()) return error;
  if (parent == nullptr && removal.top != nullptr) {
    platform::FileIdentity identity;
    if ((error = platform::GetFileIdentity(handle.Get(), identity)) != 0) return error;
    if (!(identity == *removal.top)) return kErrorStoppedOnSymlink;
  }
  if (parent == nullptr) removal.opensMayFollowLinks = platform::OpensMayFollowLinks(handle.Get());
  // What the handle says can change the outcome only for an entry listed as a folder or a link:
  // an entry listed as a plain file is deleted, never entered, whatever it has become.
  std::uint32_t attributes = listed.attributes;
  std::uint32_t reparseTag = listed.reparseTag;
  if ((listed.attributes & (platform::kAttributeDirectory | platform::kAttributeReparsePoint)) != 0) {
    if ((error = platform::GetHandleAttributes(handle.Get(), attributes)) != 0) return error;
    // A tag that cannot be had counts as none, that is, as a link: never entered.
    if ((attributes & platform::kAttributeReparsePoint) == 0 ||
        platform::GetHandleReparseTag(handle.Get(), reparseTag) != 0) {
      reparseTag = 0;
    }
  }
  if ((listed.attributes & platform::kAttributeReparsePoint) != 0 &&
      (attributes & platform::kAttributeReparsePoint) == 0) {
    return kErrorNotAReparsePoint;
  }
  // The top, opened by its path, is always checked.
  const bool checked = parent == nullptr || ChecksEveryEntry(removal);
  std::wstring finalPath;
  if (checked) {
    std::wstring topParentFinalPath;
    if (parent == nullptr) topParentFinalPath = ParentFinalPath(topPath);
    const std::wstring& parentFinalPath = parent == nullptr ? topParentFinalPath : FinalPathOf(*parent);
    if ((error = CheckIsListedEntry(handle.Get(), parentFinalPath, listed.name, finalPath)) != 0) return error;
  }
  if (listedAsFolder && IsFolderToEnter(attributes, reparseTag)) {
    std::wstring path = parent == nullptr ? topPath : JoinPath(parent->path, listed.name);
    // A folder checked against a parent without a final path asks its own later, where needed.
    const bool finalPathKnown = !finalPath.empty();
    OpenFolder folder{std::move(path), std::move(finalPath), finalPathKnown, std::move(handle), {}, 0};
    if ((error = List(folder)) != 0) return error;
    removal.open.push_back(std::move(folder));
    return 0;
  }
  // A file, or a link (never followed); a folder found where the listing saw none is not
  // entered either, and goes only if it is empty. The entry goes when its handle closes.
  return Delete(handle.Get(), removal);
}

}  // namespace

std::uint32_t RemoveTree(const std::wstring& path, const platform::FileIdentity* top) {
  // A relative path would name a folder under wherever the tool was started.
  if (!IsAbsolutePath(path)) return platform::kErrorBadPathname;
  const std::size_t separator = path.find_last_of(L"\\/");
  platform::DirectoryEntry listedTop{path.substr(separator == std::wstring::npos ? 0 : separator + 1), 0, 0};
  if (const std::uint32_t error = platform::GetPathAttributes(path, listedTop.attributes, listedTop.reparseTag)) {
    return UnlessGone(error);
  }
  // Iterative, so that a very deep tree cannot exhaust the stack.
  Removal removal;
  removal.top = top;
  if (const std::uint32_t error = Enter(path, nullptr, listedTop, removal)) return error;
  while (!removal.open.empty()) {
    OpenFolder& folder = removal.open.back();
    if (folder.next < folder.entries.size()) {
      const platform::DirectoryEntry& entry = folder.entries[folder.next++];
      if (const std::uint32_t error = Enter(path, &folder, entry, removal)) {
        return error;
      }
      continue;
    }
    const std::uint32_t error = Delete(folder.handle.Get(), removal);
    removal.open.pop_back();  // closing the handle deletes the emptied folder
    if (error != 0) return error;
  }
  return 0;
}
