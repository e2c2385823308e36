// Recursive removal of a folder that never leaves it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

// Raised when a link, opened as a link, turns out to be something else: the system followed it,
// so deleting through that handle would hit the link's target.
constexpr std::uint32_t kErrorNotAReparsePoint = 4390;  // ERROR_NOT_A_REPARSE_POINT
// Raised when an opened handle reaches somewhere other than the entry that was listed (its final
// path is not the folder's plus the entry's name): a link was followed, or something was swapped.
constexpr std::uint32_t kErrorStoppedOnSymlink = 681;  // ERROR_STOPPED_ON_SYMLINK

// Deletes path and everything below it. Links (reparse points whose tag is a name surrogate, such
// as symbolic links and junctions, or that carry no tag) are deleted as links and never entered;
// a folder with any other reparse point (a cloud-file placeholder, say) is emptied like a plain
// one. Attributes are left as they are. Every entry below path is opened relative to its held
// parent folder (by its path, with its final path checked, on a volume that refuses that), and
// nothing is deleted or entered unless its handle is the entry that was listed. An entry whose
// deletion is already pending counts as gone. A path that is not absolute
// removes nothing and gives 161 (ERROR_BAD_PATHNAME).
// With `top`, path must also be that very file or folder: where its handle shows another identity
// (it was replaced since that identity was taken), nothing is deleted and the result is 681.
// Returns 0 when the path is gone, also when it never existed, or else the Win32 code of the
// first failure, which stops the removal; what was deleted before it stays deleted.
std::uint32_t RemoveTree(const std::wstring& path, const platform::FileIdentity* top = nullptr);
