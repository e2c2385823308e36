// What the kit says, on the console and in its result file, and how it ends.
#include "selfcheck.h"

std::string Narrow(const std::wstring& text, UINT codePage) {
  if (text.empty()) return std::string();
  const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const int size = WideCharToMultiByte(codePage, flags, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) WideCharToMultiByte(codePage, flags, text.data(), static_cast<int>(text.size()), &narrow[0], size, nullptr, nullptr);
  return narrow;
}

std::wstring Wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
  return wide;
}

std::wstring Code(DWORD code) { return std::to_wstring(code); }

std::wstring Failed(const wchar_t* call) { return std::wstring(call) + L" failed with " + Code(GetLastError()); }

std::string ReportPath(std::wstring path) {
  for (wchar_t& c : path) {
    if (c == L'\\') c = L'/';
  }
  return Narrow(path, CP_ACP);
}

void WriteOut(HANDLE out, const std::wstring& text) {
  DWORD mode = 0, written = 0;
  if (GetConsoleMode(out, &mode)) {
    WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  } else {
    const std::string bytes = Narrow(text, CP_UTF8);
    WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }
}

void Say(Kit& kit, const std::wstring& line) {
  const std::wstring shown = EscapeControls(line) + L"\r\n";
  WriteOut(GetStdHandle(STD_OUTPUT_HANDLE), shown);
  if (kit.resultFile.Valid()) WriteOut(kit.resultFile.Get(), shown);
}

void SayRun(Kit& kit, const Run& run, const std::wstring& line) { Say(kit, L"[" + std::wstring(run.label) + L"] " + line); }

void Problem(Kit& kit, Run& run, const std::wstring& what) {
  ++run.problems;
  ++kit.problems;
  SayRun(kit, run, L"PROBLEM: " + what);
}

// A double-clicked program owns its console alone: it waits before that window closes.
int Finish(const Kit& kit, int code) {
  DWORD processes[2];
  DWORD mode = 0;
  if (!kit.options.yes && GetConsoleProcessList(processes, 2) == 1 && GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) {
    WriteOut(GetStdHandle(STD_OUTPUT_HANDLE), L"Press Enter to close this window.\r\n");
    char buffer[16];
    DWORD read = 0;
    ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr);
  }
  return code;
}

bool AskToGoOn() {
  WriteOut(GetStdHandle(STD_OUTPUT_HANDLE), L"Go on? [y/N] ");
  char buffer[64] = {};
  DWORD read = 0;
  ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer - 1, &read, nullptr);
  if (read == 0) WriteOut(GetStdHandle(STD_OUTPUT_HANDLE), L"\r\n");  // no answer at all: the next line on its own
  return read > 0 && (buffer[0] == 'y' || buffer[0] == 'Y');
}
