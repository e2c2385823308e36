// Second clean-up step: delete the vendor's two folders.
#pragma once

#include <cstdint>
#include <string>

// Removes the tree at path with up to 50 attempts, 10 ms apart, writing "!" for each failed
// attempt; returns the status code of the last attempt.
std::uint32_t RemoveFolderWithRetry(const std::wstring& path);

// Removes the per-user and the program folder, one report line each, then an empty line.
void RemoveVendorFolders();
