// Functions the Windows side of the platform layer looks up at run time.
#pragma once

#include <windows.h>

namespace platform {

// GetProcAddress's result as the function it is; the detour through void (*)() is the cast the
// compiler accepts between unrelated function types. Null where the module or function is missing.
template <typename Function>
Function FindFunction(HMODULE module, const char* name) {
  const FARPROC found = module != nullptr ? GetProcAddress(module, name) : nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

// A module from the system folder, with its dependencies from there too; null where it is missing.
HMODULE LoadSystemModule(const wchar_t* name);

}  // namespace platform
