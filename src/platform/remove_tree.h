// Recursive removal of a folder that never leaves it.
#pragma once

#include <cstdint>
#include <string>

// Raised when a link, opened as a link, turns out to be something else: the system followed it,
// so deleting through that handle would hit the link's target.
constexpr std::uint32_t kErrorNotAReparsePoint = 4390;  // ERROR_NOT_A_REPARSE_POINT

// Deletes path and everything below it. Links of every kind (symbolic links, junctions, other
// reparse points) are deleted as links and never entered; attributes are left as they are.
// Returns 0 when the path is gone, also when it never existed, or else the Win32 code of the
// first failure, which stops the removal; what was deleted before it stays deleted.
std::uint32_t RemoveTree(const std::wstring& path);
