#include "app/report.h"

#include "platform/platform.h"

void WriteText(std::string_view text) { platform::WriteOutput(text); }

void WriteWideText(std::wstring_view text) { platform::WriteOutput(platform::ToAnsiCodePage(text)); }

void WriteNumber(std::int32_t value) {
  // Widen first so that the lowest value negates without overflow.
  std::int64_t magnitude = value;
  if (magnitude < 0) magnitude = -magnitude;
  char digits[12];
  std::size_t start = sizeof digits;
  do {
    digits[--start] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) digits[--start] = '-';
  platform::WriteOutput(std::string_view(digits + start, sizeof digits - start));
}

void EndLine() {
  platform::WriteOutput("\n");
  platform::FlushOutput();
}
