#include "cleanup/folders.h"

#include <string_view>

#include "app/report.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "platform/remove_tree.h"

namespace {

constexpr std::wstring_view kVendorFolderName = L"Velmirant";

struct VendorFolder {
  platform::KnownFolder base;
  std::wstring_view baseId;  // shown in place of the base path when it cannot be resolved
  bool retry;
};

constexpr VendorFolder kVendorFolders[] = {
    {platform::KnownFolder::RoamingAppData, L"{3EB685DB-65F9-4CF6-A03A-E3EF65729F3D}", true},
    {platform::KnownFolder::ProgramFilesX86, L"{7C5A40EF-A0FB-4BFC-874A-C0F2E0B9FA8E}", false},
};

constexpr std::int32_t kUnexpectedFailure = static_cast<std::int32_t>(0x8000FFFFu);  // E_UNEXPECTED

constexpr int kMaxAttempts = 50;
constexpr std::uint32_t kRetryPauseMs = 10;

}  // namespace

std::uint32_t RemoveFolderWithRetry(const std::wstring& path) {
  std::uint32_t status = 0;
  for (int attempt = 1; attempt <= kMaxAttempts; ++attempt) {
    status = RemoveTree(path);
    if (status == 0) break;
    // A file still held by a process that is exiting usually lets go within a few pauses.
    WriteText("!");
    platform::Sleep(kRetryPauseMs);
  }
  return status;
}

void RemoveVendorFolders() {
  for (const VendorFolder& folder : kVendorFolders) {
    platform::KnownFolderPath base;
    const std::int32_t result = platform::GetKnownFolderPath(folder.base, base);
    std::wstring shownPath;
    std::int32_t status = 0;
    if (result != 0 || base.Get() == nullptr) {
      // Without its base the folder has no path: joining the name to nothing would name a
      // folder relative to wherever the tool was started. Nothing is removed.
      shownPath = JoinPath(folder.baseId, kVendorFolderName);
      status = result != 0 ? result : kUnexpectedFailure;
    } else if (!IsAbsolutePath(base.Get())) {
      // Empty or relative, the base would name a folder under wherever the tool was started.
      shownPath = JoinPath(base.Get(), kVendorFolderName);
      status = platform::kErrorBadPathname;
    } else {
      shownPath = JoinPath(base.Get(), kVendorFolderName);
      status = static_cast<std::int32_t>(folder.retry ? RemoveFolderWithRetry(shownPath) : RemoveTree(shownPath));
    }
    WriteText(platform::ToAnsiCodePage(GenericPath(shownPath)));
    WriteText(" -> ");
    WriteNumber(status);
    EndLine();
  }  // Each base path is released here, after its folder's line.
  EndLine();
}
