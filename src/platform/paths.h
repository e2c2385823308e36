// Path text rules shared by the folder step and the platform layer.
#pragma once

#include <string>
#include <string_view>

// base + "\" + name, with no second separator when base already ends with one.
std::wstring JoinPath(std::wstring_view base, std::wstring_view name);
// The path with every "\" turned into "/", as the report shows it.
std::wstring GenericPath(std::wstring_view path);
// The "\\?\" form that lifts the 260-character limit of the file calls ("\\?\UNC\" for shares).
std::wstring ExtendedLengthPath(std::wstring_view path);
// Whether the path names one place whatever the current folder: a drive letter with a separator
// (C:\Users), or a share or device form (\\server\share, \\?\C:\Users).
bool IsAbsolutePath(std::wstring_view path);
