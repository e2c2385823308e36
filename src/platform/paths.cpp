#include "platform/paths.h"

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

}  // namespace

std::wstring JoinPath(std::wstring_view base, std::wstring_view name) {
  std::wstring joined(base);
  if (!joined.empty() && !IsSeparator(joined.back())) joined += L'\\';
  joined += name;
  return joined;
}

std::wstring GenericPath(std::wstring_view path) {
  std::wstring generic(path);
  for (wchar_t& c : generic) {
    if (c == L'\\') c = L'/';
  }
  return generic;
}

bool IsAbsolutePath(std::wstring_view path) {
  const bool letter = !path.empty() && ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'));
  const bool driveLetter = letter && path.size() >= 3 && path[1] == L':' && IsSeparator(path[2]);
  return driveLetter || (path.size() >= 3 && IsSeparator(path[0]) && IsSeparator(path[1]) && !IsSeparator(path[2]));
}

std::wstring ExtendedLengthPath(std::wstring_view path) {
  std::wstring extended;
  if (path.size() >= 3 && path[1] == L':' && IsSeparator(path[2])) {
    extended = L"\\\\?\\";
    extended += path;
  } else if (path.size() >= 3 && IsSeparator(path[0]) && IsSeparator(path[1]) && path[2] != L'?' && path[2] != L'.') {
    extended = L"\\\\?\\UNC\\";
    extended += path.substr(2);
  } else {
    // Device forms ("\\?\", "\\.\") are kept, and a relative path cannot take the prefix.
    return std::wstring(path);
  }
  // The extended form reaches the file system as it stands, so every "/" must become "\".
  for (wchar_t& c : extended) {
    if (c == L'/') c = L'\\';
  }
  return extended;
}
