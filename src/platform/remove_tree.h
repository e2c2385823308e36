// Recursive removal of a folder that never leaves it.
#pragma once

#include <cstdint>
#include <string>

// Raised when a link, opened as a link, turns out to be something else: the system followed it,
// so deleting through that handle would hit the link's target.
constexpr std::uint32_t kErrorNotAReparsePoint = 4390;  // ERROR_NOT_A_REPARSE_POINT
// Raised when an opened handle reaches somewhere other than the entry that was listed (its final
// path is not the folder's plus the entry's name): a link was followed, or something was swapped.
constexpr std::uint32_t kErrorStoppedOnSymlink = 681;  // ERROR_STOPPED_ON_SYMLINK

// Set once the system refuses POSIX delete semantics; every later deletion of the run then uses
// the classic disposition straight away.
extern bool gPosixDeleteRefused;

// Deletes path and everything below it. Links of every kind (symbolic links, junctions, other
// reparse points) are deleted as links and never entered; attributes are left as they are.
// Nothing is deleted or entered unless its handle is the entry that was listed.
// Returns 0 when the path is gone, also when it never existed, or else the Win32 code of the
// first failure, which stops the removal; what was deleted before it stays deleted.
std::uint32_t RemoveTree(const std::wstring& path);
