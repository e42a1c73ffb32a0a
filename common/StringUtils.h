#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace Overlay::Common {

// Decimal conversion as the standard string-to-int conversion reads it (blanks skipped, optional
// sign, digits up to the first non-digit). Empty when nothing numeric starts the text or the number
// does not fit in 32 signed bits.
std::optional<int32_t> ParseInt32(const wchar_t* text, size_t length);
inline std::optional<int32_t> ParseInt32(const std::wstring& text) { return ParseInt32(text.data(), text.size()); }

// UTF-16 to UTF-8 (lone surrogates become U+FFFD). Returns the bytes written to `out`; stops short
// rather than overflow, never splitting a character.
size_t Utf16ToUtf8(const wchar_t* text, size_t length, char* out, size_t capacity);
std::string ToUtf8(const std::wstring& text);

}  // namespace Overlay::Common
