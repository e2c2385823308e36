#include "platform/remove_tree.h"

#include <string_view>
#include <utility>
#include <vector>

#include "platform/paths.h"
#include "platform/platform.h"

bool gPosixDeleteRefused = false;

namespace {

// A folder being emptied: held open (so it cannot be swapped for a link) until it is deleted.
struct OpenFolder {
  std::wstring path;
  std::wstring finalPath;  // what its handle reaches; empty where the file system cannot say
  platform::FileHandle handle;
  std::vector<platform::DirectoryEntry> entries;
  std::size_t next = 0;
};

bool IsPlainFolder(std::uint32_t attributes) {
  return (attributes & (platform::kAttributeDirectory | platform::kAttributeReparsePoint)) ==
         platform::kAttributeDirectory;
}

// Something that is gone already, or went while we worked, needs no deleting.
std::uint32_t UnlessGone(std::uint32_t error) {
  return error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound ? 0 : error;
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

std::uint32_t Delete(platform::Handle handle) {
  if (!gPosixDeleteRefused) {
    const std::uint32_t error = platform::MarkForPosixDeletion(handle);
    // ERROR_INVALID_FUNCTION, ERROR_NOT_SUPPORTED, ERROR_INVALID_PARAMETER: not on this system.
    if (error != 1 && error != 50 && error != 87) return error;
    gPosixDeleteRefused = true;
  }
  return platform::MarkForDeletion(handle);
}

// Deletes a file or link at once. A plain folder is opened, checked from its own handle and
// listed, then pushed onto `open` to be emptied. `listedAttributes` are what the parent's
// listing (or, for the top, the path) said; the handle must agree before anything is entered.
// parentFinalPath may live in `open`, so it is read only before `open` grows.
std::uint32_t Enter(const std::wstring& path, std::wstring_view name, std::uint32_t listedAttributes,
                    const std::wstring& parentFinalPath, std::vector<OpenFolder>& open) {
  const bool listedAsFolder = IsPlainFolder(listedAttributes);
  std::uint32_t error = 0;
  platform::FileHandle handle(platform::OpenForRemoval(path, listedAsFolder, error));
  if (!handle.Valid()) return UnlessGone(error);
  // What the handle says can change the outcome only for an entry listed as a folder or a link:
  // an entry listed as a plain file is deleted, never entered, whatever it has become.
  std::uint32_t attributes = listedAttributes;
  const bool handleDecides =
      (listedAttributes & (platform::kAttributeDirectory | platform::kAttributeReparsePoint)) != 0;
  if (handleDecides && (error = platform::GetHandleAttributes(handle.Get(), attributes)) != 0) return error;
  if ((listedAttributes & platform::kAttributeReparsePoint) != 0 &&
      (attributes & platform::kAttributeReparsePoint) == 0) {
    return kErrorNotAReparsePoint;
  }
  std::wstring finalPath;
  if ((error = CheckIsListedEntry(handle.Get(), parentFinalPath, name, finalPath)) != 0) return error;
  if (listedAsFolder && IsPlainFolder(attributes)) {
    OpenFolder folder{path, std::move(finalPath), std::move(handle), {}, 0};
    if ((error = platform::ListFolder(folder.handle.Get(), folder.entries)) != 0) return error;
    open.push_back(std::move(folder));
    return 0;
  }
  // A file, or a link (never followed); a folder found where the listing saw none is not
  // entered either, and goes only if it is empty. The entry goes when its handle closes.
  return Delete(handle.Get());
}

}  // namespace

std::uint32_t RemoveTree(const std::wstring& path) {
  std::uint32_t attributes = 0;
  if (const std::uint32_t error = platform::GetPathAttributes(path, attributes)) return UnlessGone(error);
  const std::size_t separator = path.find_last_of(L"\\/");
  const std::wstring_view name = std::wstring_view(path).substr(separator == std::wstring::npos ? 0 : separator + 1);
  // Iterative, so that a very deep tree cannot exhaust the stack.
  std::vector<OpenFolder> open;
  if (const std::uint32_t error = Enter(path, name, attributes, ParentFinalPath(path), open)) return error;
  while (!open.empty()) {
    OpenFolder& folder = open.back();
    if (folder.next < folder.entries.size()) {
      const platform::DirectoryEntry& entry = folder.entries[folder.next++];
      if (const std::uint32_t error =
              Enter(JoinPath(folder.path, entry.name), entry.name, entry.attributes, folder.finalPath, open)) {
        return error;
      }
      continue;
    }
    const std::uint32_t error = Delete(folder.handle.Get());
    open.pop_back();  // closing the handle deletes the emptied folder
    if (error != 0) return error;
  }
  return 0;
}
