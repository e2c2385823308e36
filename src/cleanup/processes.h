// First clean-up step: end the vendor's running processes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct ProcessEntry {
  std::wstring name;  // executable file name, without its folder
  std::uint32_t id = 0;
};

// True for the exact target names (case-sensitive) and for any name containing "panelino".
bool IsTargetProcessName(std::wstring_view name);

// Lists every process, then opens and terminates each target, one report line per target.
void TerminateTargetProcesses();
