// How a folder listing walks what the file system answers, for both query classes the platform
// layer asks. Kept apart from <windows.h>, so the unit tests can feed it answers no healthy file
// system gives: records that run past the bytes filled, or a success that fills nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace platform {

constexpr std::uint32_t kErrorInvalidData = 13;  // ERROR_INVALID_DATA
// What a query answers when the folder has no more entries.
constexpr std::uint32_t kListingEnd = 18;  // ERROR_NO_MORE_FILES

// Appends every record but "." and ".." of the `size` bytes the file system filled. Where an
// entry is a reparse point, the record's EaSize holds its tag. Records that run past those bytes,
// or do not move forward, are the driver's fault: kErrorInvalidData, never a read beyond the
// buffer or a walk without end.
template <typename Info>
std::uint32_t AppendRecords(const void* buffer, std::size_t size, std::vector<DirectoryEntry>& entries) {
  constexpr std::size_t kHeader = offsetof(Info, FileName);
  const unsigned char* const start = static_cast<const unsigned char*>(buffer);
  std::size_t offset = 0;
  for (;;) {
    if (size - offset < kHeader) return kErrorInvalidData;
    const auto* info = reinterpret_cast<const Info*>(start + offset);
    if (info->FileNameLength > size - offset - kHeader) return kErrorInvalidData;
    const std::wstring_view name(info->FileName, info->FileNameLength / sizeof info->FileName[0]);
    const std::uint32_t tag = (info->FileAttributes & kAttributeReparsePoint) != 0 ? info->EaSize : 0;
    if (name != L"." && name != L"..") entries.push_back(DirectoryEntry{std::wstring(name), info->FileAttributes, tag});
    if (info->NextEntryOffset == 0) return 0;
    if (info->NextEntryOffset < kHeader || info->NextEntryOffset > size - offset) return kErrorInvalidData;
    offset += info->NextEntryOffset;
  }
}

// Queries until the folder has no more entries: query(restart, filled) fills `buffer` (`size`
// bytes) and returns 0 with the bytes it filled, kListingEnd, or an error code. A success that
// fills nothing would only repeat itself, so it ends the listing too (anything it missed keeps the
// folder, whose deletion then fails with 145, not empty).
template <typename Info, typename Query>
std::uint32_t ReadListing(const void* buffer, std::size_t size, Query query, std::vector<DirectoryEntry>& entries) {
  for (bool restart = true;; restart = false) {
    std::size_t filled = 0;
    const std::uint32_t error = query(restart, filled);
    if (error == kListingEnd || (error == 0 && filled == 0)) return 0;
    if (error != 0) return error;
    if (const std::uint32_t bad = AppendRecords<Info>(buffer, filled < size ? filled : size, entries)) return bad;
  }
}

}  // namespace platform
