// How a folder listing walks what the file system answers, for both query classes the platform
// layer asks. Kept apart from <windows.h>, so the unit tests can feed it answers no healthy file
// system gives: records that run past the bytes filled, or a success that fills nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/platform.h"

namespace platform {

constexpr std::uint32_t kErrorInvalidData = 13;  // ERROR_INVALID_DATA
// What a query answers when the folder has no more entries.
constexpr std::uint32_t kListingEnd = 18;  // ERROR_NO_MORE_FILES
// More entries than any folder of the vendor's holds by far, yet a bounded list: a driver that
// keeps answering never exhausts the memory.
constexpr std::size_t kMaxListedEntries = 1000000;

// Appends every record but "." and ".." of the `size` bytes the file system filled. Where an
// entry is a reparse point, the record's EaSize holds its tag. Records that run past those bytes,
// or do not move forward, are the driver's fault: kErrorInvalidData, never a read beyond the
// buffer or a walk without end. Each record is copied out of the buffer, never read in place: a
// driver may leave it misaligned.
template <typename Info>
std::uint32_t AppendRecords(const void* buffer, std::size_t size, std::vector<DirectoryEntry>& entries) {
  static_assert(std::is_trivially_copyable_v<Info>, "records are copied byte for byte");
  static_assert(sizeof Info::FileName[0] == sizeof(wchar_t), "names are wide text");
  constexpr std::size_t kHeader = offsetof(Info, FileName);
  const unsigned char* const start = static_cast<const unsigned char*>(buffer);
  std::size_t offset = 0;
  for (;;) {
    if (size - offset < kHeader) return kErrorInvalidData;
    Info info{};
    std::memcpy(&info, start + offset, kHeader);
    if (info.FileNameLength > size - offset - kHeader) return kErrorInvalidData;
    std::wstring name(info.FileNameLength / sizeof info.FileName[0], L'\0');
    std::memcpy(&name[0], start + offset + kHeader, name.size() * sizeof info.FileName[0]);
    const std::uint32_t tag = (info.FileAttributes & kAttributeReparsePoint) != 0 ? info.EaSize : 0;
    if (name != L"." && name != L"..") {
      if (entries.size() >= kMaxListedEntries) return kErrorInvalidData;
      entries.push_back(DirectoryEntry{std::move(name), info.FileAttributes, tag});
    }
    if (info.NextEntryOffset == 0) return 0;
    if (info.NextEntryOffset < kHeader || info.NextEntryOffset > size - offset) return kErrorInvalidData;
    offset += info.NextEntryOffset;
  }
}

// Whether the entries from `first` on repeat, name for name, the `count` before them: a batch
// that makes no progress.
inline bool RepeatsLastBatch(const std::vector<DirectoryEntry>& entries, std::size_t first, std::size_t count) {
  if (count == 0 || entries.size() - first != count) return false;
  for (std::size_t i = 0; i < count; ++i) {
    if (entries[first + i].name != entries[first - count + i].name) return false;
  }
  return true;
}

// Queries until the folder has no more entries: query(restart, filled) fills `buffer` (`size`
// bytes) and returns 0 with the bytes it filled, kListingEnd, or an error code. A success that
// fills nothing would only repeat itself, so it ends the listing too (anything it missed keeps the
// folder, whose deletion then fails with 145, not empty). A later batch that adds nothing or
// repeats the one before, or a listing past kMaxListedEntries, is the driver's fault:
// kErrorInvalidData.
template <typename Info, typename Query>
std::uint32_t ReadListing(const void* buffer, std::size_t size, Query query, std::vector<DirectoryEntry>& entries) {
  std::size_t lastBatch = 0;
  for (bool restart = true;; restart = false) {
    std::size_t filled = 0;
    const std::uint32_t error = query(restart, filled);
    if (error == kListingEnd || (error == 0 && filled == 0)) return 0;
    if (error != 0) return error;
    const std::size_t first = entries.size();
    if (const std::uint32_t bad = AppendRecords<Info>(buffer, filled < size ? filled : size, entries)) return bad;
    // After the first, a batch that adds nothing (only "." and "..") or repeats the one before
    // makes no progress.
    if (!restart && (entries.size() == first || RepeatsLastBatch(entries, first, lastBatch))) return kErrorInvalidData;
    lastBatch = entries.size() - first;
  }
}

}  // namespace platform
