#include "platform/remove_tree.h"

#include <utility>
#include <vector>

#include "platform/paths.h"
#include "platform/platform.h"

namespace {

// A folder being emptied: held open (so it cannot be swapped for a link) until it is deleted.
struct OpenFolder {
  std::wstring path;
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

// Deletes a file or link at once. A plain folder is opened, checked from its own handle and
// listed, then pushed onto `open` to be emptied. `listedAttributes` are what the parent's
// listing (or, for the top, the path) said; the handle must agree before anything is entered.
std::uint32_t Enter(const std::wstring& path, std::uint32_t listedAttributes, std::vector<OpenFolder>& open) {
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
  if (listedAsFolder && IsPlainFolder(attributes)) {
    OpenFolder folder{path, std::move(handle), {}, 0};
    if ((error = platform::ListFolder(folder.handle.Get(), folder.entries)) != 0) return error;
    open.push_back(std::move(folder));
    return 0;
  }
  // A file, or a link (never followed); a folder found where the listing saw none is not
  // entered either, and goes only if it is empty. The entry goes when its handle closes.
  return platform::MarkForDeletion(handle.Get());
}

}  // namespace

std::uint32_t RemoveTree(const std::wstring& path) {
  std::uint32_t attributes = 0;
  if (const std::uint32_t error = platform::GetPathAttributes(path, attributes)) return UnlessGone(error);
  // Iterative, so that a very deep tree cannot exhaust the stack.
  std::vector<OpenFolder> open;
  if (const std::uint32_t error = Enter(path, attributes, open)) return error;
  while (!open.empty()) {
    OpenFolder& folder = open.back();
    if (folder.next < folder.entries.size()) {
      const platform::DirectoryEntry& entry = folder.entries[folder.next++];
      if (const std::uint32_t error = Enter(JoinPath(folder.path, entry.name), entry.attributes, open)) return error;
      continue;
    }
    const std::uint32_t error = platform::MarkForDeletion(folder.handle.Get());
    open.pop_back();  // closing the handle deletes the emptied folder
    if (error != 0) return error;
  }
  return 0;
}
