#include "cleanup/processes.h"

#include <vector>

#include "app/report.h"
#include "platform/platform.h"

namespace {

constexpr std::wstring_view kTargetProcessNames[] = {
    L"vexdesktop.exe",
    L"vexinstall.exe",
    L"vexpp.exe",
};

constexpr std::wstring_view kTargetProcessNameFragment = L"panelino";

bool EqualsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    wchar_t x = a[i], y = b[i];
    if (x >= L'A' && x <= L'Z') x = static_cast<wchar_t>(x - L'A' + L'a');
    if (y >= L'A' && y <= L'Z') y = static_cast<wchar_t>(y - L'A' + L'a');
    if (x != y) return false;
  }
  return true;
}

// Opens the process the snapshot recorded, for termination. The id may have passed to another
// program since the snapshot, so when the image name can be read it must still be the recorded
// one; otherwise the result is the same as a failed open (no handle).
platform::ProcessHandle OpenRecordedProcess(const ProcessEntry& process) {
  platform::ProcessHandle handle(platform::OpenProcess(
      platform::kProcessTerminate | platform::kProcessQueryLimitedInformation, process.id));
  if (!handle.Valid()) {
    // Some processes grant termination but not the query right; act on them as recorded.
    return platform::ProcessHandle(platform::OpenProcess(platform::kProcessTerminate, process.id));
  }
  std::wstring imagePath;
  if (platform::QueryProcessImagePath(handle.Get(), imagePath)) {
    const std::size_t slash = imagePath.find_last_of(L"\\/");
    const std::wstring_view fileName =
        std::wstring_view(imagePath).substr(slash == std::wstring::npos ? 0 : slash + 1);
    // File names on Windows do not differ by letter case alone.
    if (!EqualsIgnoringAsciiCase(fileName, process.name)) return platform::ProcessHandle();
  }
  return handle;
}

}  // namespace

bool IsTargetProcessName(std::wstring_view name) {
  for (std::wstring_view target : kTargetProcessNames) {
    if (name == target) return true;
  }
  return name.find(kTargetProcessNameFragment) != std::wstring_view::npos;
}

void TerminateTargetProcesses() {
  std::vector<ProcessEntry> processes;
  {
    platform::SnapshotHandle snapshot(platform::CreateProcessSnapshot());
    if (snapshot.Valid()) {
      platform::ProcessRecord record;
      for (bool more = platform::FirstProcess(snapshot.Get(), record); more;
           more = platform::NextProcess(snapshot.Get(), record)) {
        processes.push_back(ProcessEntry{record.exeFile, record.processId});
      }
    }
  }  // The snapshot is closed here, before any process is opened.

  for (const ProcessEntry& process : processes) {
    if (!IsTargetProcessName(process.name)) continue;
    WriteWideText(process.name);
    WriteWideText(L":");
    const platform::ProcessHandle handle = OpenRecordedProcess(process);
    // A target that cannot be opened keeps its name on an open line; the next write goes on there.
    if (!handle.Valid()) continue;
    const bool terminated = platform::TerminateProcess(handle.Get(), 1);
    WriteText(terminated ? " TerminateProcess() OK" : " TerminateProcess() fail");
    EndLine();
  }
  EndLine();
}
