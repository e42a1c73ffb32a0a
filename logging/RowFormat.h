#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "logging/RowClock.h"

namespace Overlay::Logging {

// Indexed by LogLevel; each is also the CSS class of its rows.
inline constexpr std::wstring_view kLevelNames[] = {L"debug", L"note", L"info", L"warning", L"error", L"critical"};

// Bounded formatting that always terminates and never reports more than it wrote.
size_t FormatInto(wchar_t* out, size_t capacity, const wchar_t* format, va_list args);
size_t FormatInto(wchar_t* out, size_t capacity, const wchar_t* format, ...);

// One row: "<tr class=...><td>time</td><td>thread</td><td>line</td><td>function</td>
// <td style=...>message</td></tr>\r\n" into `row` (FlushLogger::kRowChars), the function and message
// escaped. Returns its length.
size_t FormatRow(wchar_t* row, const RowClock::Reading& now, int32_t level, uint32_t colour, const wchar_t* function,
                 uint32_t line, const wchar_t* format, va_list args);
size_t FormatRowF(wchar_t* row, const RowClock::Reading& now, int32_t level, uint32_t colour, const wchar_t* function,
                  uint32_t line, const wchar_t* format, ...);

}  // namespace Overlay::Logging
