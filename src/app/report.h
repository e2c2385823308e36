// The report: plain text on standard output that every clean-up step writes to.
#pragma once

#include <cstdint>
#include <string_view>

// Narrow text as it stands, no line end.
void WriteText(std::string_view text);
// UTF-16 text (process names and the ":" after each), converted to the ANSI code page.
void WriteWideText(std::wstring_view text);
// A signed decimal: no padding, no grouping, "-" only for negative values.
void WriteNumber(std::int32_t value);
// A newline, then a flush. With nothing written since the last line end this is an empty line.
void EndLine();
